// The connection state machine for Python hosts: BaseError, FSOEError,
// Session, Node and the state classes.
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>

#include <array>

#include "common.hpp"
#include "connection_binding.hpp"
#include "dictionary_binding.hpp"
#include "kestrel/connection/states.hpp"
#include "kestrel/setup/application_parameter.hpp"
#include "runtime.hpp"

namespace kestrel::py {

namespace {

PyObject *g_fsoe_error = nullptr;
std::array<PyObject *, kStateCount> g_state_classes{};

const char *py_type(nb::handle h) { return Py_TYPE(h.ptr())->tp_name; }

// The host's list of application parameters, kept on the core node.
std::shared_ptr<void> keep_object(nb::handle h) {
    Py_INCREF(h.ptr());
    return std::shared_ptr<void>(h.ptr(), [](void *p) { with_gil([p] { Py_DECREF(static_cast<PyObject *>(p)); }); });
}

std::vector<DynamicItemPtr> parameter_items(nb::handle list) {
    std::vector<DynamicItemPtr> items;
    for (nb::handle h : list) {
        if (!nb::isinstance<DynamicMappableItem>(h))
            throw_python(
                ErrorKind::Type,
                std::string("application_parameters must hold DynamicMappableItem objects, not ") + py_type(h));
        items.push_back(nb::cast<DynamicItemPtr>(h));
    }
    return items;
}

// An error code argument: a BaseError or FSOEError member (any int 0 ... 255).
uint8_t error_code(nb::handle error) { return to_u8(error); }

State &state_of(nb::handle self) { return nb::cast<State &>(self); }

template <typename T>
void init_state(T *s, nb::handle context) {
    new (s) T(handler_context(context));
}

}  // namespace

nb::handle state_class(StateId id) { return g_state_classes[static_cast<uint8_t>(id)]; }

StateId state_id_of_class(nb::handle cls) {
    for (int i = 0; i < kStateCount; ++i)
        if (cls.ptr() == g_state_classes[i]) return static_cast<StateId>(i);
    if (PyType_Check(cls.ptr())) {
        // A host subclass of a state class counts as that class.
        for (int i = kStateCount - 1; i >= 0; --i)
            if (PyType_IsSubtype(reinterpret_cast<PyTypeObject *>(cls.ptr()),
                                 reinterpret_cast<PyTypeObject *>(g_state_classes[i])))
                return static_cast<StateId>(i);
    }
    throw_python(ErrorKind::Type, std::string("next_state must be a state class, not ") + nb::repr(cls).c_str());
}

nb::object fsoe_error(long long code) { return nb::borrow(g_fsoe_error)(code); }

void attach_parameters(Node &node, nb::handle list) { node.host_data = keep_object(list); }

nb::object node_parameters(const Node &node) {
    if (node.host_data) return nb::borrow(static_cast<PyObject *>(node.host_data.get()));
    nb::list result;
    for (const auto &p : node.application_parameters) result.append(nb::cast(p));
    return result;
}

void bind_connection(nb::module_ &m) {
    // --- Error codes ---------------------------------------------------------
    nb::enum_<BaseError> base(m, "BaseError", nb::is_arithmetic(), "Basic FSoE Error");
    for (int code = 0; code < kBaseErrorCount; ++code) {
        const auto e = static_cast<BaseError>(code);
        base.value(std::string(base_error_name(e)).c_str(), e);
    }
    nb::list members;
    for (int code = 0; code < 256; ++code)
        if (auto name = fsoe_error_name(code)) members.append(nb::make_tuple(nb::str(name->c_str()), code));
    nb::object int_enum = nb::module_::import_("enum").attr("IntEnum");
    nb::object fsoe = int_enum("FSOEError", members, nb::arg("module") = m.attr("__name__"));
    m.attr("FSOEError") = fsoe;
    g_fsoe_error = fsoe.ptr();
    Py_INCREF(g_fsoe_error);  // the module's for its whole life

    // --- Session -------------------------------------------------------------
    nb::class_<Session>(m, "Session", "FSoE Session structure\n\nHolds the current known data of the FSoE connection")
        .def(
            "__init__",
            [](Session *s, nb::handle slave_address, nb::handle connection_id, nb::handle watchdog_ms) {
                new (s) Session(to_u16(slave_address), to_u16(connection_id), to_u16(watchdog_ms));
            },
            nb::arg("slave_address"), nb::arg("connection_id"), nb::arg("watchdog_ms"))
        .def_prop_ro("slave_address", [](const Session &s) { return s.slave_address; })
        .def_prop_ro("session_id", [](const Session &s) { return s.session_id; })
        .def_prop_ro("error_id", [](const Session &s) { return s.error_id; })
        .def_prop_ro("connection_id", [](const Session &s) { return s.connection_id; })
        .def_prop_ro("comm_parameter_size_bytes", [](const Session &s) { return s.comm_parameter_size_bytes; })
        .def_prop_ro("watchdog_ms", [](const Session &s) { return s.watchdog_ms; })
        .def_prop_ro("app_parameter_size_bytes", [](const Session &s) { return s.app_parameter_size_bytes; })
        .def_prop_rw(
            "error", [](const Session &s) { return fsoe_error(s.error()); },
            [](Session &s, nb::handle error) { s.set_error(error_code(error)); }, nb::for_setter(nb::arg("error")));

    // --- Node ----------------------------------------------------------------
    nb::class_<Node>(m, "Node", "FSoE Node\n\nHolds information relating to one of the FSoE Nodes")
        .def(
            "__init__",
            [](Node *node, nb::handle slave_address, nb::handle connection_id, nb::handle watchdog_ms,
               nb::handle application_parameters, nb::handle dictionary, nb::handle item_types_accepted,
               nb::handle dictionary_map_is_editable) {
                const uint16_t address = to_u16(slave_address);
                const uint16_t id = to_u16(connection_id);
                const uint16_t wd = to_u16(watchdog_ms);
                if (!PyList_Check(application_parameters.ptr()))
                    throw_python(ErrorKind::Type, std::string("application_parameters must be a list, not ") +
                                                      py_type(application_parameters));
                if (!nb::isinstance<Dictionary>(dictionary))
                    throw_python(ErrorKind::Type,
                                 std::string("dictionary must be a Dictionary, not ") + py_type(dictionary));
                if (!PySet_Check(item_types_accepted.ptr()) && !PyFrozenSet_Check(item_types_accepted.ptr()))
                    throw_python(ErrorKind::Type,
                                 std::string("item_types_accepted must be a set, not ") + py_type(item_types_accepted));
                const ItemKindMask kinds = kinds_from_classes(item_types_accepted);
                const bool editable = PyObject_IsTrue(dictionary_map_is_editable.ptr()) == 1;
                new (node) Node(address, id, wd, parameter_items(application_parameters),
                                nb::cast<std::shared_ptr<Dictionary>>(dictionary), kinds, editable);
                attach_parameters(*node, application_parameters);
            },
            nb::arg("slave_address"), nb::arg("connection_id"), nb::arg("watchdog_ms"),
            nb::arg("application_parameters"), nb::arg("dictionary"), nb::arg("item_types_accepted"),
            nb::arg("dictionary_map_is_editable") = true)
        .def_prop_ro(
            "frame", [](Node &n) -> FSOEFrame & { return n.frame; }, nb::rv_policy::reference_internal)
        .def_prop_ro("session", [](const Node &n) { return n.session; })
        .def_prop_ro("dictionary_map", [](const Node &n) { return n.dictionary_map; })
        .def_prop_ro(
            "_dynamic_map", [](Node &n) -> FSOEDynamicMap & { return n._dynamic_map; },
            nb::rv_policy::reference_internal)
        .def_prop_ro("application_parameters", [](const Node &n) { return node_parameters(n); })
        .def_prop_rw(
            "_last_crc0_sent",
            [](const Node &n) -> nb::object {
                if (!n._last_crc0_sent) return nb::none();
                return nb::int_(*n._last_crc0_sent);
            },
            [](Node &n, nb::handle v) {
                if (v.is_none())
                    n._last_crc0_sent.reset();
                else
                    n._last_crc0_sent = to_u16(v);
            },
            nb::for_setter(nb::arg("value").none()))
        .def("start", &Node::start, "Procedures required before the FSoE is initialized")
        .def("stop", &Node::stop, "Procedures required when the FSoE is stopped");

    // --- States --------------------------------------------------------------
    // Events run under the handler's lock, as the handler's own do.
    auto run = [](nb::handle self, auto &&body) {
        State &state = state_of(self);
        nb::object next;
        run_state_event(*state.context, [&] { next = nb::borrow(state_class(body(state))); });
        return next;
    };
    nb::class_<State>(m, "State", "FSoE State")
        .def(
            "__init__", [](State *s, nb::handle context) { new (s) State(handler_context(context)); },
            nb::arg("context"), nb::keep_alive<1, 2>())
        .def_prop_ro("context", [](const State &s) { return handler_object(*s.context); })
        .def(
            "_process_frame_received_event",
            [run](nb::handle self) { return run(self, [](State &s) { return s._process_frame_received_event(); }); },
            "Process events when a frame is received")
        .def(
            "_process_watchdog_expired_event",
            [run](nb::handle self) { return run(self, [](State &s) { return s._process_watchdog_expired_event(); }); },
            "Process events when the watchdog expires")
        .def(
            "_process_reset_connection_event",
            [run](nb::handle self) { return run(self, [](State &s) { return s._process_reset_connection_event(); }); },
            "Process events when the connection is reset")
        .def(
            "_check_received_crcs",
            [](nb::handle self) {
                State &s = state_of(self);
                bool valid = false;
                run_state_event(*s.context, [&] { valid = s._check_received_crcs(); });
                return valid;
            },
            "Check the received crcs from the slave.");

    auto map_frame = [](nb::handle self) {
        State &s = state_of(self);
        run_state_event(*s.context, [&] {
            switch (state_id(s)) {
                case StateId::Reset:
                    static_cast<StateReset &>(s).map_frame();
                    break;
                case StateId::Session:
                    static_cast<StateSession &>(s).map_frame();
                    break;
                case StateId::Parameter:
                    static_cast<StateParameter &>(s).map_frame();
                    break;
                case StateId::Data:
                    static_cast<StateData &>(s).map_frame();
                    break;
                case StateId::Connection:
                    raise(ErrorKind::NotImplemented);
            }
        });
    };

    auto reset_cls =
        nb::class_<StateReset, State>(m, "StateReset", "FSoE Reset state")
            .def("__init__", &init_state<StateReset>, nb::arg("context"), nb::keep_alive<1, 2>())
            .def("map_frame", map_frame)
            .def(
                "_reset_handler",
                [run](nb::handle self, nb::handle error) {
                    const uint8_t code = error_code(error);
                    return run(self, [code](State &s) { return static_cast<StateReset &>(s)._reset_handler(code); });
                },
                nb::arg("error"));
    auto session_cls =
        nb::class_<StateSession, State>(m, "StateSession", "FSoE Session state")
            .def("__init__", &init_state<StateSession>, nb::arg("context"), nb::keep_alive<1, 2>())
            .def("map_frame", map_frame)
            .def("_reset_session", [run](nb::handle self) {
                return run(self, [](State &s) { return static_cast<StateSession &>(s)._reset_session(); });
            });
    auto connection_cls =
        nb::class_<StateConnection, State>(m, "StateConnection", "FSoE Connection state")
            .def("__init__", &init_state<StateConnection>, nb::arg("context"), nb::keep_alive<1, 2>());
    auto parameter_cls = nb::class_<StateParameter, State>(m, "StateParameter", "FSoE Parameter state")
                             .def("__init__", &init_state<StateParameter>, nb::arg("context"), nb::keep_alive<1, 2>())
                             .def("map_frame", map_frame);
    auto data_cls = nb::class_<StateData, State>(m, "StateData", "FSoE Data state")
                        .def("__init__", &init_state<StateData>, nb::arg("context"), nb::keep_alive<1, 2>())
                        .def("map_frame", map_frame);
    const std::array<nb::handle, kStateCount> classes = {reset_cls, session_cls, connection_cls, parameter_cls,
                                                         data_cls};
    for (int i = 0; i < kStateCount; ++i) {
        g_state_classes[i] = classes[i].ptr();
        Py_INCREF(g_state_classes[i]);
        classes[i].attr("id") = i;
    }
}

}  // namespace kestrel::py
