// MasterHandler for Python hosts.
//
// Lock order: the handler's mutex, then the GIL. A host thread keeps the GIL
// while it enters the handler and only gives it up when the mutex is
// contended (the blocking runner), so the common path costs no GIL switch; the
// watchdog thread takes the mutex without the GIL and the GIL only to run the
// host's callbacks.
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>

#include <chrono>
#include <string>
#include <vector>

#include "common.hpp"
#include "connection_binding.hpp"
#include "dictionary_binding.hpp"
#include "kestrel/handler/master_handler.hpp"
#include "runtime.hpp"
#include "watchdog_binding.hpp"

namespace kestrel::py {

namespace {

const char *py_type(nb::handle h) { return Py_TYPE(h.ptr())->tp_name; }

// The host objects a handler holds.
struct HostData {
    nb::object report_error_callback;
    nb::object state_change_callback;
    nb::object application_parameters;  // the host's own list
    nb::object slave_parameters;        // the slave side's copies, as a list
    nb::object watchdog;
};

std::shared_ptr<HostData> host_data_of(const MasterHandler &h) {
    return std::static_pointer_cast<HostData>(h.host_data);
}

template <typename Fn>
void call_host(Fn &&fn) {
    if (!python_alive()) return;
    nb::gil_scoped_acquire gil;
    fn();  // a raised exception leaves as nb::python_error
}

nb::bytes as_bytes(const MasterHandler::RequestBuffer &buffer, size_t n) {
    return nb::bytes(reinterpret_cast<const char *>(buffer.data()), n);
}

// Runs `fn` with the bytes of a bytes-like argument.
template <typename Fn>
void with_buffer(nb::handle data, Fn &&fn) {
    PyObject *o = data.ptr();
    if (PyBytes_Check(o)) {
        fn(std::span<const uint8_t>(reinterpret_cast<const uint8_t *>(PyBytes_AS_STRING(o)),
                                    static_cast<size_t>(PyBytes_GET_SIZE(o))));
        return;
    }
    if (!PyObject_CheckBuffer(o))
        throw_python(ErrorKind::Type, std::string("data must be bytes, not ") + py_type(data));
    Py_buffer view;
    if (PyObject_GetBuffer(o, &view, PyBUF_SIMPLE) != 0) throw nb::python_error();
    struct Release {
        Py_buffer *v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    fn(std::span<const uint8_t>(static_cast<const uint8_t *>(view.buf), static_cast<size_t>(view.len)));
}

// Runs `fn` with the bytes of a writable buffer (bytearray, memoryview, ...),
// without copying them: the process image area a host's bus driver fills.
template <typename Fn>
void with_writable_buffer(nb::handle area, Fn &&fn) {
    PyObject *o = area.ptr();
    Py_buffer view;
    if (!PyObject_CheckBuffer(o) || PyObject_GetBuffer(o, &view, PyBUF_WRITABLE) != 0) {
        PyErr_Clear();
        throw_python(
            ErrorKind::Type,
            std::string("buffer must be a writable bytes-like object (bytearray, memoryview), not ") + py_type(area));
    }
    struct Release {
        Py_buffer *v;
        ~Release() { PyBuffer_Release(v); }
    } release{&view};
    fn(std::span<uint8_t>(static_cast<uint8_t *>(view.buf), static_cast<size_t>(view.len)));
}

double seconds_argument(nb::handle h) {
    if (PyBool_Check(h.ptr()) || !(PyFloat_Check(h.ptr()) || PyLong_Check(h.ptr())))
        throw_python(ErrorKind::Type, std::string("watchdog_timeout_s must be a number, not ") + py_type(h));
    const double v = PyFloat_AsDouble(h.ptr());
    if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
    return v;
}

nb::object optional_callable(nb::handle h, const char *arg) {
    if (h.is_none()) return nb::none();
    if (!PyCallable_Check(h.ptr()))
        throw_python(ErrorKind::Type, std::string(arg) + " must be callable or None, not " + py_type(h));
    return nb::borrow(h);
}

std::string watchdog_name(uint16_t slave_address, uint16_t connection_id) {
    return "FSoE watchdog (slave " + std::to_string(slave_address) + ", connection " + std::to_string(connection_id) +
           ")";
}

// The expiry as the watchdog thread runs it: a host callback inside it may
// drop the last reference to the handler, so the event holds one of its own
// until it has finished; the handler then goes, if it goes, after its event.
// A handler whose destruction has begun (not running any more, or no
// reference left) is not revived: its destructor waits for this thread, and
// the expiry of a handler that does not run does nothing. The handler's own
// Python object is kept from its construction (`self_object`, written and read
// with the GIL): looking it up by pointer while it is being destroyed would
// make a second Python object for the dying handler.
Watchdog::Callback holding_handler(MasterHandler *handler, std::shared_ptr<PyObject *> self_object,
                                   Watchdog::Callback expiry) {
    return [handler, self_object = std::move(self_object), expiry = std::move(expiry)] {
        PyObject *held = nullptr;
        if (handler->running())
            with_gil([&] {
                PyObject *object = *self_object;
                if (object != nullptr && Py_REFCNT(object) > 0 && handler->running()) {
                    Py_INCREF(object);
                    held = object;
                }
            });
        struct Release {
            PyObject *object;
            ~Release() {
                if (object != nullptr && !with_gil([this] { Py_DECREF(object); })) {
                    // The interpreter is gone: leave the object alone.
                }
            }
        } release{held};
        expiry();
    };
}

void construct(MasterHandler *self, nb::handle dictionary, nb::handle slave_address, nb::handle connection_id,
               nb::handle watchdog_timeout_s, nb::handle application_parameters, nb::handle report_error_callback,
               nb::handle state_change_callback, nb::handle dictionary_map_is_editable) {
    if (!nb::isinstance<Dictionary>(dictionary))
        throw_python(ErrorKind::Type, std::string("dictionary must be a Dictionary, not ") + py_type(dictionary));
    const uint16_t address = to_u16(slave_address);
    const uint16_t id = to_u16(connection_id);
    const double timeout = seconds_argument(watchdog_timeout_s);
    nb::object parameters;
    if (application_parameters.is_none()) {
        parameters = nb::list();
    } else if (PyList_Check(application_parameters.ptr())) {
        parameters = nb::borrow(application_parameters);
    } else {
        throw_python(ErrorKind::Type, std::string("application_parameters must be a list or None, not ") +
                                          py_type(application_parameters));
    }
    std::vector<std::shared_ptr<ApplicationParameter>> items;
    for (nb::handle p : parameters) {
        if (!nb::isinstance<ApplicationParameter>(p))
            throw_python(
                ErrorKind::Type,
                std::string("application_parameters must hold ApplicationParameter objects, not ") + py_type(p));
        items.push_back(nb::cast<std::shared_ptr<ApplicationParameter>>(p));
    }
    // The host objects go when the handler goes, with the GIL.
    std::shared_ptr<HostData> data(new HostData, [](HostData *d) {
        if (!with_gil([d] { delete d; })) {
            // The interpreter is gone: leave its objects alone.
        }
    });
    data->report_error_callback = optional_callable(report_error_callback, "report_error_callback");
    data->state_change_callback = optional_callable(state_change_callback, "state_change_callback");
    data->application_parameters = parameters;
    const bool editable = PyObject_IsTrue(dictionary_map_is_editable.ptr()) == 1;

    HostData *raw = data.get();
    MasterHandler::ErrorCallback on_error = [raw](std::string_view name, std::string_view error) {
        call_host([&] {
            if (!raw->report_error_callback.is_valid() || raw->report_error_callback.is_none()) return;
            raw->report_error_callback(nb::str(name.data(), name.size()), nb::str(error.data(), error.size()));
        });
    };
    MasterHandler::StateChangeCallback on_state = [raw](StateId next) {
        call_host([&] {
            if (!raw->state_change_callback.is_valid() || raw->state_change_callback.is_none()) return;
            raw->state_change_callback(state_class(next));
        });
    };
    nb::object watchdog_object = nb::none();
    auto self_object = std::make_shared<PyObject *>(nullptr);
    MasterHandler::WatchdogFactory factory = [&](double timeout_s, Watchdog::Callback callback) {
        return make_python_watchdog(timeout_s, holding_handler(self, self_object, std::move(callback)),
                                    watchdog_name(address, id), watchdog_object);
    };
    new (self) MasterHandler(nb::cast<std::shared_ptr<Dictionary>>(dictionary), address, id, timeout, std::move(items),
                             std::move(on_error), std::move(on_state), editable, factory);
    self->set_blocking_runner(run_without_gil);
    *self_object = nb::find(self).ptr();  // alive now: the lookup finds it (no reference is kept)
    // Each holder its own reference to the host's dictionary (see visit_owned).
    self->dictionary = own_reference(self->dictionary);
    self->master->dictionary_map->_reown_dictionary(own_reference(self->dictionary));
    self->slave->dictionary_map->_reown_dictionary(own_reference(self->dictionary));
    data->watchdog = watchdog_object;
    nb::list slave_parameters;
    for (const auto &p : self->slave->application_parameters) slave_parameters.append(nb::cast(p));
    data->slave_parameters = slave_parameters;
    attach_parameters(*self->master, parameters);
    attach_parameters(*self->slave, slave_parameters);
    self->host_data = data;
}

int handler_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    auto data = host_data_of(*nb::inst_ptr<MasterHandler>(self));
    if (!data) return 0;
    for (const nb::object *o : {&data->report_error_callback, &data->state_change_callback,
                                &data->application_parameters, &data->slave_parameters, &data->watchdog})
        if (o->is_valid()) Py_VISIT(o->ptr());
    // The dictionary and the maps the handler alone holds: a subscriber that
    // leads back to the handler is then a cycle the collector can free.
    const MasterHandler &h = *nb::inst_ptr<MasterHandler>(self);
    if (int r = visit_owned(h.dictionary, visit, arg)) return r;
    for (const Node *node : {h.master.get(), h.slave.get()})
        if (node->dictionary_map.use_count() == 1)
            if (int r = visit_map_contents(*node->dictionary_map, visit, arg)) return r;
    return 0;
}

int handler_clear(PyObject *self) {
    if (!nb::inst_ready(self)) return 0;
    auto data = host_data_of(*nb::inst_ptr<MasterHandler>(self));
    if (!data) return 0;
    data->report_error_callback = nb::none();
    data->state_change_callback = nb::none();
    return 0;
}

PyType_Slot handler_slots[] = {
    {Py_tp_traverse, (void *)handler_traverse}, {Py_tp_clear, (void *)handler_clear}, {0, nullptr}};

nb::handle g_fsoe_error;  // the module's FSOEError enum

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A reset code as the host's key: its FSOEError member when it has a name, else the number
// (256 stands for any code above 255).
nb::object code_key(int code) {
    if (fsoe_error_is_named(code)) return g_fsoe_error(code);
    return nb::int_(code);
}

nb::dict codes_dict(const std::array<uint64_t, HandlerStatistics::kCodeBuckets> &counts) {
    nb::dict d;
    for (int code = 0; code < HandlerStatistics::kCodeBuckets; ++code)
        if (counts[static_cast<size_t>(code)]) d[code_key(code)] = counts[static_cast<size_t>(code)];
    return d;
}

nb::dict statistics_dict(MasterHandler &h) {
    HandlerStatistics s;
    run_without_gil([&] { s = h.statistics(); });
    const auto now = std::chrono::steady_clock::now();
    nb::dict d;
    d["cycles"] = s.cycles;
    nb::dict transitions;
    for (int i = 0; i < kTransitionCount; ++i)
        if (s.transitions[static_cast<size_t>(i)])
            transitions[nb::str(kTransitionNames[static_cast<size_t>(i)].data(),
                                kTransitionNames[static_cast<size_t>(i)].size())] =
                s.transitions[static_cast<size_t>(i)];
    d["transitions"] = transitions;
    if (s.has_fault) {
        nb::dict fault;
        fault["transition"] = s.fault_transition;
        fault["message"] = s.fault_message;
        fault["time"] = std::chrono::duration<double>(s.fault_wall_time.time_since_epoch()).count();
        fault["age_s"] = seconds(now - s.fault_time);
        d["last_fault"] = fault;
    } else {
        d["last_fault"] = nb::none();
    }
    d["resets_sent"] = codes_dict(s.resets_sent);
    d["resets_received"] = codes_dict(s.resets_received);
    d["time_in_data_s"] = s.data_entered ? nb::object(nb::float_(seconds(now - *s.data_entered))) : nb::none();
    if (s.response_samples) {
        nb::dict response;
        response["last"] = seconds(s.response_last);
        response["min"] = seconds(s.response_min);
        response["max"] = seconds(s.response_max);
        response["samples"] = s.response_samples;
        d["response_time_s"] = response;
    } else {
        d["response_time_s"] = nb::none();
    }
    return d;
}

// The states' private flags, read and written as events (an expiry on the
// watchdog thread writes them too).
template <auto Flag>
bool locked_flag_getter(MasterHandler &h) {
    bool value = false;
    h.event([&] { value = h.*Flag; });
    return value;
}

template <auto Flag>
void locked_flag_setter(MasterHandler &h, bool value) {
    h.event([&] { h.*Flag = value; });
}

}  // namespace

ConnectionContext &handler_context(nb::handle handler) {
    if (!nb::isinstance<MasterHandler>(handler))
        throw_python(ErrorKind::Type, std::string("context must be a MasterHandler, not ") + py_type(handler));
    return nb::cast<MasterHandler &>(handler);
}

nb::object handler_object(ConnectionContext &context) { return nb::find(static_cast<MasterHandler *>(&context)); }

void run_state_event(ConnectionContext &context, const std::function<void()> &body) {
    static_cast<MasterHandler &>(context).event(body);
}

void bind_handler(nb::module_ &m) {
    g_fsoe_error = m.attr("FSOEError");
    m.def(
        "error_description",
        [](nb::handle code) {
            const std::string text = fsoe_error_description(to_u8(code));
            return text;
        },
        nb::arg("code"), nb::sig("def error_description(code: int) -> str"),
        "What an FSoE error code means and what usually causes it");
    nb::class_<MasterHandler>(m, "MasterHandler",
                              "Handles the connection with a single slave from a master's point of view",
                              nb::type_slots(handler_slots))
        .def("__init__", &construct, nb::arg("dictionary"), nb::arg("slave_address"), nb::arg("connection_id"),
             nb::arg("watchdog_timeout_s"), nb::arg("application_parameters").none() = nb::none(),
             nb::arg("report_error_callback").none() = nb::none(), nb::arg("state_change_callback").none() = nb::none(),
             nb::arg("dictionary_map_is_editable") = true)
        .def("start", &MasterHandler::start, "Start the FSoE connection")
        .def("stop", &MasterHandler::stop, "Reset the connection and stop")
        .def("reset", &MasterHandler::reset, "Reset the FSoE Connection")
        .def_prop_ro("running", &MasterHandler::running)
        .def(
            "get_request",
            [](MasterHandler &h) {
                MasterHandler::RequestBuffer buffer;
                const size_t n = h.get_request(buffer);
                return as_bytes(buffer, n);
            },
            "Can be called N times, even while the PDU has not changed")
        .def(
            "set_reply",
            [](MasterHandler &h, nb::handle data) {
                with_buffer(data, [&](std::span<const uint8_t> bytes) { h.set_reply(bytes); });
            },
            nb::arg("data"), "Can be set N times with the same data and will detect when there's a new PDU")
        .def(
            "set_fail_safe", [](MasterHandler &h, bool active) { h.set_fail_safe(active); }, nb::arg("active") = true,
            "Set if the master is in fail safe mode")
        .def_prop_ro("request_length", &MasterHandler::request_length,
                     "Bytes of the master's frames as the maps give them (0 while a map cannot start)")
        .def_prop_ro("reply_length", &MasterHandler::reply_length,
                     "Bytes of the slave's frames as the maps give them (0 while a map cannot start)")
        .def(
            "write_request_into",
            [](MasterHandler &h, nb::handle buffer, nb::handle offset) {
                const size_t at = to_unsigned<size_t>(offset, "size_t");
                size_t n = 0;
                with_writable_buffer(buffer, [&](std::span<uint8_t> area) { n = h.write_request_into(area, at); });
                return n;
            },
            nb::arg("buffer"), nb::arg("offset") = 0,
            "Write the current request into a process image area at offset; returns its length")
        .def(
            "set_reply_from",
            [](MasterHandler &h, nb::handle buffer, nb::handle offset) {
                const size_t at = to_unsigned<size_t>(offset, "size_t");
                with_buffer(buffer, [&](std::span<const uint8_t> area) { h.set_reply_from(area, at); });
            },
            nb::arg("buffer"), nb::arg("offset") = 0,
            "Hand over the reply_length bytes at offset of a process image area, as set_reply")
        .def_prop_ro("state", [](const MasterHandler &h) { return nb::borrow(state_class(h.state())); })
        .def_prop_ro("initialization_data_bytes", &MasterHandler::initialization_data_bytes)
        .def("get_slave_address", &MasterHandler::get_slave_address)
        .def(
            "set_slave_address", [](MasterHandler &h, nb::handle address) { h.set_slave_address(to_u16(address)); },
            nb::arg("slave_address"))
        .def("delete", &MasterHandler::delete_watchdog)
        .def_prop_ro("statistics", &statistics_dict, nb::sig("def statistics(self) -> dict[str, typing.Any]"),
                     "A snapshot of what the handler has seen: cycles, transitions, last fault, resets, "
                     "time in Data, response times")
        .def("reset_statistics", &MasterHandler::reset_statistics, "Clear the statistics")
        .def_prop_rw("statistics_enabled", &MasterHandler::statistics_enabled,
                     [](MasterHandler &h, bool enabled) { h.set_statistics_enabled(enabled); })
        .def_prop_ro("dictionary", [](const MasterHandler &h) { return h.dictionary; })
        .def_prop_ro(
            "master", [](MasterHandler &h) -> Node & { return *h.master; }, nb::rv_policy::reference_internal)
        .def_prop_ro(
            "slave", [](MasterHandler &h) -> Node & { return *h.slave; }, nb::rv_policy::reference_internal)
        .def_prop_ro(
            "_state",
            [](MasterHandler &h) {
                std::shared_ptr<State> state;
                h.event([&] { state = h._state(); });  // an expiry may replace it meanwhile
                return state;
            },
            nb::keep_alive<0, 1>())
        .def_prop_ro("_watchdog",
                     [](const MasterHandler &h) -> nb::object {
                         auto data = host_data_of(h);
                         return data ? data->watchdog : nb::none();
                     })
        .def_prop_rw(
            "_data_command", [](const MasterHandler &h) { return h._data_command; },
            [](MasterHandler &h, nb::handle command) {
                const FSOECommand c = to_enum<FSOECommand>(command, "_data_command", "an FSOECommand");
                h.event([&] { h._data_command = c; });
            })
        .def_prop_rw("_second_session_frame_sent", locked_flag_getter<&MasterHandler::_second_session_frame_sent>,
                     locked_flag_setter<&MasterHandler::_second_session_frame_sent>)
        .def_prop_rw("_reset_slave_sequence_number_after_frame",
                     locked_flag_getter<&MasterHandler::_reset_slave_sequence_number_after_frame>,
                     locked_flag_setter<&MasterHandler::_reset_slave_sequence_number_after_frame>)
        .def_prop_rw("_generate_crcs_cyclic_for_next_frame",
                     locked_flag_getter<&MasterHandler::_generate_crcs_cyclic_for_next_frame>,
                     locked_flag_setter<&MasterHandler::_generate_crcs_cyclic_for_next_frame>)
        .def(
            "_set_next_state",
            [](MasterHandler &h, nb::handle next_state) {
                const StateId next = state_id_of_class(next_state);
                h.event([&] { h._set_next_state(next); });
            },
            nb::arg("next_state"), "Set the next state of the state machine")
        .def(
            "_report_error",
            [](MasterHandler &h, const std::string &transition_name, const std::string &error) {
                h.event([&] { h._report_error(transition_name, error); });
            },
            nb::arg("transition_name"), nb::arg("error"))
        .def(
            "_create_session_id", [](MasterHandler &h) { h.event([&] { h._create_session_id(); }); },
            "Create new random session id")
        .def("_dynamic_map_pending", &MasterHandler::_dynamic_map_pending,
             "Check if one of the dynamic maps has pending data")
        .def("_watchdog_expired_event", &MasterHandler::_watchdog_expired_event,
             "Watchdog expired event callback for watchdog")
        .def(
            "_get_request",
            [](MasterHandler &h) {
                MasterHandler::RequestBuffer buffer;
                size_t n = 0;
                h.event([&] { n = h._get_request(buffer); });
                return as_bytes(buffer, n);
            },
            "Get new FSoE Request")
        .def(
            "_set_reply",
            [](MasterHandler &h, nb::handle data) {
                with_buffer(data, [&](std::span<const uint8_t> bytes) { h.event([&] { h._set_reply(bytes); }); });
            },
            nb::arg("data"), "Get new FSoE reply");
}

}  // namespace kestrel::py
