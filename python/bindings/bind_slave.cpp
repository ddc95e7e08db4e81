// SlaveSimulator: the software FSoE slave for host tests.
//
// Everything runs on the caller's thread with the GIL held: a step is a few
// microseconds, and the parameter check is Python code anyway.
#include <string>

#include "common.hpp"
#include "kestrel/frame/frame.hpp"
#include "kestrel/sim/slave_simulator.hpp"

namespace kestrel::py {

namespace {

using sim::SlaveSimulator;
using sim::SlaveState;

std::span<const uint8_t> byte_span(const nb::bytes &b) {
    return {reinterpret_cast<const uint8_t *>(b.c_str()), b.size()};
}

nb::bytes to_py_bytes(std::span<const uint8_t> s) {
    return nb::bytes(reinterpret_cast<const char *>(s.data()), s.size());
}

template <typename T>
nb::object optional_int(const std::optional<T> &v) {
    return v ? nb::object(nb::int_(*v)) : nb::none();
}

bool to_bool(nb::handle h, const char *name) {
    if (!PyBool_Check(h.ptr()))
        throw_python(ErrorKind::Type, std::string(name) + " must be a bool, not " + Py_TYPE(h.ptr())->tp_name);
    return h.ptr() == Py_True;
}

uint32_t to_count(nb::handle h) { return to_u32(h); }

// The slave as the binding holds it: the host's parameter check lives here,
// visible to the garbage collector, so that a check that refers back to its
// slave (a bound method of a test case, say) does not keep both alive forever.
struct PySlave : SlaveSimulator {
    PySlave(sim::SlaveConfig config, nb::object check_fn) : SlaveSimulator(with_check(std::move(config), this)) {
        check = std::move(check_fn);
    }
    nb::object check;

    // None or 0 accepts, an int is the reset reason (0x80 to 0xFF as given,
    // anything else INVALID_USERPARA). A check that raises or returns something
    // else refuses the parameters; its error goes to sys.unraisablehook, so the
    // cycle goes on and the test still sees it.
    int run_check(std::span<const uint8_t> parameters) {
        if (!check.is_valid() || check.is_none()) return 0;
        nb::object fn = check;  // the check may drop itself while it runs
        try {
            nb::object result = fn(to_py_bytes(parameters));
            if (result.is_none()) return 0;
            if (!is_int(result)) {
                PyErr_Format(PyExc_TypeError, "verify_parameters must return None or an int, not %s",
                             Py_TYPE(result.ptr())->tp_name);
                PyErr_WriteUnraisable(fn.ptr());
                return sim::code_of(BaseError::INVALID_USERPARA);
            }
            int overflow = 0;
            const long long code = PyLong_AsLongLongAndOverflow(result.ptr(), &overflow);
            if (overflow != 0 || code < 0 || code > 0xFF) return sim::code_of(BaseError::INVALID_USERPARA);
            return static_cast<int>(code);
        } catch (nb::python_error &e) {
            e.restore();
            PyErr_WriteUnraisable(fn.ptr());
            return sim::code_of(BaseError::INVALID_USERPARA);
        }
    }

private:
    static sim::SlaveConfig with_check(sim::SlaveConfig config, PySlave *self) {
        config.check_parameters = [self](std::span<const uint8_t> p) { return self->run_check(p); };
        return config;
    }
};

int slave_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    if (!nb::inst_ready(self)) return 0;
    Py_VISIT(nb::inst_ptr<PySlave>(self)->check.ptr());
    return 0;
}

int slave_clear(PyObject *self) {
    if (nb::inst_ready(self)) nb::inst_ptr<PySlave>(self)->check.reset();
    return 0;
}

PyType_Slot slave_slots[] = {{Py_tp_traverse, reinterpret_cast<void *>(slave_traverse)},
                             {Py_tp_clear, reinterpret_cast<void *>(slave_clear)},
                             {0, nullptr}};

void init_slave(PySlave *self, nb::handle slave_address, nb::handle input_size, nb::handle output_size,
                nb::handle application_parameters, nb::handle watchdog_range_ms, nb::handle verify_parameters,
                nb::handle manual_clock, nb::handle seed) {
    sim::SlaveConfig config;
    config.slave_address = to_u16(slave_address);
    config.input_size = to_u16(input_size);
    config.output_size = to_u16(output_size);
    const nb::bytes parameters = to_bytes(application_parameters, "application_parameters");
    const auto p = byte_span(parameters);
    config.application_parameters.assign(p.begin(), p.end());
    if (!PyTuple_Check(watchdog_range_ms.ptr()) || PyTuple_GET_SIZE(watchdog_range_ms.ptr()) != 2)
        throw_python(ErrorKind::Type, "watchdog_range_ms must be a tuple (minimum, maximum)");
    config.watchdog_min_ms = to_u16(nb::handle(PyTuple_GET_ITEM(watchdog_range_ms.ptr(), 0)));
    config.watchdog_max_ms = to_u16(nb::handle(PyTuple_GET_ITEM(watchdog_range_ms.ptr(), 1)));
    if (!verify_parameters.is_none() && !PyCallable_Check(verify_parameters.ptr()))
        throw_python(ErrorKind::Type, std::string("verify_parameters must be callable or None, not ") +
                                          Py_TYPE(verify_parameters.ptr())->tp_name);
    config.manual_clock = to_bool(manual_clock, "manual_clock");
    if (!seed.is_none()) {
        const long long s = to_i64(seed, "uint64_t");
        if (s < 0) raise_negative("uint64_t");
        config.seed = static_cast<uint64_t>(s);
    }
    new (self) PySlave(std::move(config), nb::borrow<nb::object>(verify_parameters));
}

nb::dict counters_dict(const PySlave &s) {
    const auto &c = s.counters();
    nb::dict d;
    d["frames_received"] = c.frames_received;
    d["frames_sent"] = c.frames_sent;
    d["frames_repeated"] = c.frames_repeated;
    d["frames_dropped"] = c.frames_dropped;
    d["resets_received"] = c.resets_received;
    d["resets_sent"] = c.resets_sent;
    d["errors"] = c.errors;
    return d;
}

nb::dict resets_by_code(const PySlave &s) {
    nb::dict d;
    const auto &by_code = s.resets_sent_by_code();
    for (size_t code = 0; code < by_code.size(); ++code)
        if (by_code[code] != 0) d[nb::int_(code)] = by_code[code];
    return d;
}

}  // namespace

sim::SlaveSimulator *as_slave_simulator(nb::handle h) {
    PySlave *slave = nullptr;
    return nb::try_cast<PySlave *>(h, slave, false) ? slave : nullptr;
}

void bind_slave(nb::module_ &m) {
    auto cls = nb::class_<PySlave>(
        m, "SlaveSimulator", nb::type_slots(slave_slots),
        "Software FSoE slave driven frame by frame: reply = slave.step(request).\n\n"
        "It answers the master's Reset, Session, Connection, Parameter and Data frames as a safety slave does, "
        "checks the CRC chains, sequence numbers, connection id, address and parameters, and reports what it "
        "finds in its Reset frames. Faults can be injected into its next replies.");

    nb::enum_<SlaveState>(cls, "State", "State of the simulated slave")
        .value("RESET", SlaveState::Reset)
        .value("SESSION", SlaveState::Session)
        .value("CONNECTION", SlaveState::Connection)
        .value("PARAMETER", SlaveState::Parameter)
        .value("DATA", SlaveState::Data);

    cls.def("__init__", &init_slave, nb::arg("slave_address"), nb::kw_only(), nb::arg("input_size") = 2,
            nb::arg("output_size") = 2, nb::arg("application_parameters") = nb::bytes("", 0),
            nb::arg("watchdog_range_ms") = nb::make_tuple(1, 0xFFFF), nb::arg("verify_parameters") = nb::none(),
            nb::arg("manual_clock") = false, nb::arg("seed") = nb::none(),
            "input_size: safe-data bytes of the slave's frames; output_size: of the master's frames (1 or an even "
            "number up to 16). application_parameters: the bytes the slave expects. watchdog_range_ms: accepted "
            "watchdog times, inclusive. verify_parameters(parameters: bytes) -> None | int: None or 0 accepts, "
            "0x80-0xFF is the reset reason, any other int INVALID_USERPARA. manual_clock: time moves only with "
            "advance(ms). seed: makes the session ids reproducible.");

    cls.def(
           "step",
           [](PySlave &s, nb::handle request) {
               const nb::bytes b = to_bytes(request, "request");
               return to_py_bytes(s.step(byte_span(b)));
           },
           nb::arg("request"),
           "One bus cycle: the master's request in, the slave's frame out. Without a new frame to answer (empty "
           "request, the same request again, a silent cycle) the previous reply is returned, as a process image "
           "keeps it; b'' before the first reply.")
        .def_prop_ro(
            "reply", [](const PySlave &s) { return to_py_bytes(s.reply()); }, "The frame the process image holds now")
        .def(
            "advance", [](PySlave &s, nb::handle ms) { s.advance(to_u32(ms)); }, nb::arg("ms"),
            "Move the manual clock on by ms milliseconds")
        .def_prop_ro("now_ms", &SlaveSimulator::now_ms, "The slave's clock in milliseconds")
        .def_prop_ro("state", &SlaveSimulator::state)
        .def_prop_ro("slave_address", [](const PySlave &s) { return s.config().slave_address; })
        .def_prop_ro("input_size", [](const PySlave &s) { return s.config().input_size; })
        .def_prop_ro("output_size", [](const PySlave &s) { return s.config().output_size; })
        .def_prop_ro(
            "last_reset_reason", [](const PySlave &s) { return optional_int(s.last_reset_reason()); },
            "Reason of the latest reset, sent or received; None before any")
        .def_prop_ro(
            "last_reset_sent", [](const PySlave &s) { return optional_int(s.last_reset_sent()); },
            "Reason of the latest Reset the slave sent on its own account (acknowledgements excluded)")
        .def_prop_ro(
            "last_reset_received", [](const PySlave &s) { return optional_int(s.last_reset_received()); },
            "Reason of the latest Reset frame received from the master")
        .def_prop_ro("slave_session_id", &SlaveSimulator::slave_session_id)
        .def_prop_ro("master_session_id", [](const PySlave &s) { return optional_int(s.master_session_id()); })
        .def_prop_ro(
            "connection_id", [](const PySlave &s) { return optional_int(s.connection_id()); },
            "The connection id of the Connection data, once received")
        .def_prop_ro(
            "watchdog_ms", [](const PySlave &s) { return optional_int(s.watchdog_ms()); },
            "The watchdog time of a complete, valid parameter set")
        .def_prop_ro("received_parameters", [](const PySlave &s) { return to_py_bytes(s.received_parameters()); })
        .def_prop_ro(
            "outputs", [](const PySlave &s) { return to_py_bytes(s.outputs()); },
            "The safe outputs last received (zeros after fail-safe data and every reset)")
        .def_prop_rw(
            "inputs", [](const PySlave &s) { return to_py_bytes(s.inputs()); },
            [](PySlave &s, nb::handle v) { s.set_inputs(byte_span(to_bytes(v, "inputs"))); },
            "The safe inputs sent in process data (input_size bytes)")
        .def_prop_rw(
            "process_data", &SlaveSimulator::process_data,
            [](PySlave &s, nb::handle v) { s.set_process_data(to_bool(v, "process_data")); },
            "True: answer with process data; False: with fail-safe data. Cleared by every reset.")
        .def_prop_ro("counters", &counters_dict)
        .def_prop_ro("resets_sent_by_code", &resets_by_code,
                     "How often the slave sent each reset reason on its own account")
        .def_prop_ro("faults_pending", &SlaveSimulator::faults_pending);

    cls.def(
           "inject_bit_flip",
           [](PySlave &s, nb::handle bit, nb::handle count) { s.inject_bit_flip(to_u32(bit), to_count(count)); },
           nb::arg("bit"), nb::arg("count") = 1, "Flip bit (8 * byte + bit of byte) of the next replies")
        .def(
            "inject_wrong_connection_id",
            [](PySlave &s, nb::handle id, nb::handle count) {
                s.inject_wrong_connection_id(id.is_none() ? std::nullopt : std::optional<uint16_t>(to_u16(id)),
                                             to_count(count));
            },
            nb::arg("connection_id") = nb::none(), nb::arg("count") = 1,
            "Send this connection id (default: the right one + 1) with valid CRCs")
        .def(
            "inject_wrong_echo",
            [](PySlave &s, nb::handle index, nb::handle count) { s.inject_wrong_echo(to_u16(index), to_count(count)); },
            nb::arg("byte_index") = 0, nb::arg("count") = 1, "Invert one safe-data byte, with valid CRCs")
        .def(
            "inject_unknown_command",
            [](PySlave &s, nb::handle command, nb::handle count) {
                s.inject_unknown_command(to_u8(command), to_count(count));
            },
            nb::arg("command") = 0xFF, nb::arg("count") = 1, "Send a command byte that is no FSoE command")
        .def(
            "inject_wrong_command",
            [](PySlave &s, nb::handle command, nb::handle count) {
                std::optional<FSOECommand> c;
                if (!command.is_none()) {
                    FSOECommand value;
                    if (!nb::try_cast(command, value, false))
                        throw_python(ErrorKind::Type, std::string("command must be an FSOECommand or None, not ") +
                                                          Py_TYPE(command.ptr())->tp_name);
                    c = value;
                }
                s.inject_wrong_command(c, to_count(count));
            },
            nb::arg("command") = nb::none(), nb::arg("count") = 1,
            "Send this command (default: one of another state) with valid CRCs")
        .def(
            "inject_reset",
            [](PySlave &s, nb::handle code, nb::handle count) { s.inject_reset(to_u8(code), to_count(count)); },
            nb::arg("code"), nb::arg("count") = 1, "Answer with a Reset frame with this reason")
        .def(
            "inject_repeat", [](PySlave &s, nb::handle count) { s.inject_repeat(to_count(count)); },
            nb::arg("count") = 1, "Put out the previous frame again instead of the answer")
        .def(
            "inject_replay",
            [](PySlave &s, nb::handle age, nb::handle count) { s.inject_replay(to_u32(age), to_count(count)); },
            nb::arg("age") = 2, nb::arg("count") = 1, "Put out the frame sent `age` frames ago (2 to 16)")
        .def(
            "inject_silence", [](PySlave &s, nb::handle cycles) { s.inject_silence(to_count(cycles)); },
            nb::arg("cycles"), "Ignore the next cycles: frames in them are never answered")
        .def("request_reset", &SlaveSimulator::request_reset,
             "Reset the connection now: the process image holds a Reset frame with reason 0")
        .def("clear_faults", &SlaveSimulator::clear_faults, "Drop every pending fault");
}

}  // namespace kestrel::py
