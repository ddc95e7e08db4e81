// The virtual EtherCAT segment: devices hosting SlaveSimulators, served on a
// packet socket.
//
// Frames are processed with the GIL held (each device's application is a
// Python-visible SlaveSimulator whose parameter check may be Python code, and
// fault injection from another thread must not race a step); only the wait
// for the next frame gives the GIL up.
#include <nanobind/stl/string.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "common.hpp"
#include "kestrel/ecat/packet_socket.hpp"
#include "kestrel/ecat/segment.hpp"
#include "kestrel/ecat/sii.hpp"

namespace kestrel::py {

sim::SlaveSimulator *as_slave_simulator(nb::handle h);  // bind_slave.cpp

namespace {

using namespace kestrel::ecat;

struct PySegment {
    Segment segment;
    std::vector<nb::object> slaves;  // keeps each device's application alive
    std::unique_ptr<PacketSocket> socket;
    std::array<uint8_t, 1518> buffer{};

    Device &at(nb::handle index) {
        const uint32_t i = to_u32(index);
        if (i >= segment.size()) throw_python(ErrorKind::Index, "no device " + std::to_string(i));
        return segment.device(i);
    }
};

nb::bytes to_py(std::span<const uint8_t> s) { return nb::bytes(reinterpret_cast<const char *>(s.data()), s.size()); }

const char *state_name(AlState s) {
    switch (s) {
        case AlState::Init:
            return "INIT";
        case AlState::PreOp:
            return "PRE-OP";
        case AlState::Bootstrap:
            return "BOOT";
        case AlState::SafeOp:
            return "SAFE-OP";
        case AlState::Op:
            return "OP";
    }
    return "?";
}

// Frames for up to `seconds`; returns the number forwarded.
uint64_t serve(PySegment &s, double seconds) {
    if (!s.socket) throw_python(ErrorKind::Runtime, "the segment is not open on an interface");
    using clock = std::chrono::steady_clock;
    const auto deadline = clock::now() + std::chrono::duration<double>(seconds > 0 ? seconds : 0);
    uint64_t served = 0;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - clock::now()).count();
        const int wait_ms = static_cast<int>(std::clamp<long long>(left, 0, 10));
        size_t n = 0;
        {
            nb::gil_scoped_release release;
            n = s.socket->receive(s.buffer, wait_ms);
        }
        if (n == 0) {
            s.segment.tick();
        } else {
            const std::span<uint8_t> frame(s.buffer.data(), n);
            if (s.segment.process(frame) == FrameResult::Forwarded) {
                s.socket->send(frame);
                ++served;
            }
        }
        if (PyErr_CheckSignals() != 0) throw nb::python_error();
        if (clock::now() >= deadline) return served;
    }
}

}  // namespace

void bind_ecat(nb::module_ &m) {
    auto cls = nb::class_<PySegment>(
        m, "VirtualSegment",
        "A virtual EtherCAT segment: emulated slave devices in a chain, each running a SlaveSimulator as its "
        "application, with the FSoE request in its outputs (RxPDO) and the reply in its inputs (TxPDO).");
    cls.def(nb::init<>())
        .def(
            "add_device",
            [](PySegment &s, nb::handle slave, nb::handle vendor_id, nb::handle product_code, nb::handle revision,
               nb::handle serial, nb::handle alias, const std::string &name) {
                sim::SlaveSimulator *app = as_slave_simulator(slave);
                if (!app)
                    throw_python(ErrorKind::Type,
                                 std::string("slave must be a SlaveSimulator, not ") + Py_TYPE(slave.ptr())->tp_name);
                Identity id;
                id.vendor_id = to_u32(vendor_id);
                id.product_code = to_u32(product_code);
                id.revision = to_u32(revision);
                id.serial = to_u32(serial);
                id.alias = to_u16(alias);
                id.name = name;
                s.segment.add_device(*app, id);
                s.slaves.push_back(nb::borrow<nb::object>(slave));
                return s.segment.size() - 1;
            },
            nb::arg("slave"), nb::kw_only(), nb::arg("vendor_id") = Identity{}.vendor_id,
            nb::arg("product_code") = Identity{}.product_code, nb::arg("revision") = Identity{}.revision,
            nb::arg("serial") = 0, nb::arg("alias") = 0, nb::arg("name") = "",
            "Appends a device at the end of the chain with this simulator as its application; returns its index")
        .def("__len__", [](const PySegment &s) { return s.segment.size(); })
        .def(
            "slave",
            [](PySegment &s, nb::handle i) {
                s.at(i);  // IndexError past the end
                return s.slaves[to_u32(i)];
            },
            nb::arg("index"), "The SlaveSimulator of device `index`")
        .def(
            "process",
            [](PySegment &s, nb::handle frame) -> nb::object {
                const nb::bytes b = to_bytes(frame, "frame");
                std::vector<uint8_t> f(b.c_str(), b.c_str() + b.size());
                if (s.segment.process(f) != FrameResult::Forwarded) return nb::none();
                return to_py(f);
            },
            nb::arg("frame"),
            "One Ethernet frame through the chain: the frame as it comes back, or None for a frame the segment "
            "does not send back (not EtherCAT, or malformed)")
        .def(
            "tick", [](PySegment &s) { s.segment.tick(); }, "Lets the process-data watchdogs see the time pass")
        .def(
            "al_state", [](PySegment &s, nb::handle i) { return static_cast<int>(s.at(i).al_state()); },
            nb::arg("index"), "AL state of device `index`: 1 INIT, 2 PRE-OP, 4 SAFE-OP, 8 OP")
        .def(
            "al_state_name", [](PySegment &s, nb::handle i) { return state_name(s.at(i).al_state()); },
            nb::arg("index"))
        .def(
            "al_error", [](PySegment &s, nb::handle i) { return s.at(i).al_error(); }, nb::arg("index"))
        .def(
            "al_status_code", [](PySegment &s, nb::handle i) { return s.at(i).al_status_code(); }, nb::arg("index"))
        .def(
            "station_address", [](PySegment &s, nb::handle i) { return s.at(i).station_address(); }, nb::arg("index"))
        .def(
            "output_length", [](PySegment &s, nb::handle i) { return s.at(i).output_length(); }, nb::arg("index"),
            "Bytes of the device's outputs (the FSoE request)")
        .def(
            "input_length", [](PySegment &s, nb::handle i) { return s.at(i).input_length(); }, nb::arg("index"),
            "Bytes of the device's inputs (the FSoE reply)")
        .def(
            "device_name",
            [](PySegment &s, nb::handle i) {
                const Device &d = s.at(i);
                return device_name(d.identity(), d.output_length(), d.input_length());
            },
            nb::arg("index"))
        .def(
            "device_info",
            [](PySegment &s, nb::handle i) {
                const Device &d = s.at(i);
                nb::dict info;
                info["name"] = device_name(d.identity(), d.output_length(), d.input_length());
                info["vendor_id"] = d.identity().vendor_id;
                info["product_code"] = d.identity().product_code;
                info["revision"] = d.identity().revision;
                info["serial"] = d.identity().serial;
                const auto pdo = [](uint16_t index, uint16_t sm, uint16_t address, uint8_t control, uint16_t object,
                                    uint16_t length) {
                    nb::list entries;
                    for (const auto &e : pdo_entries(object, length))
                        entries.append(nb::make_tuple(e.index, e.subindex, e.bits, e.name));
                    nb::dict p;
                    p["index"] = index;
                    p["sm"] = sm;
                    p["sm_address"] = address;
                    p["sm_control"] = control;
                    p["length"] = length;
                    p["entries"] = entries;
                    return p;
                };
                info["outputs"] =
                    pdo(kRxPdoIndex, 0, kOutputsAddress, kOutputsControl, kOutputsObject, d.output_length());
                info["inputs"] = pdo(kTxPdoIndex, 1, kInputsAddress, kInputsControl, kInputsObject, d.input_length());
                return info;
            },
            nb::arg("index"),
            "What a master's configuration needs of device `index`: identity, and for 'outputs' (RxPDO) and "
            "'inputs' (TxPDO) the PDO index, sync manager, its address and control byte, length in bytes, entries "
            "(index, subindex, bits, name)")
        .def(
            "sii", [](PySegment &s, nb::handle i) { return to_py(s.at(i).sii()); }, nb::arg("index"),
            "The device's SII EEPROM image")
        .def(
            "application_cycles", [](PySegment &s, nb::handle i) { return s.at(i).application_cycles(); },
            nb::arg("index"), "How often the device's application was stepped")
        .def(
            "watchdog_expiries", [](PySegment &s, nb::handle i) { return s.at(i).watchdog_expiries(); },
            nb::arg("index"))
        .def(
            "unknown_accesses",
            [](PySegment &s, nb::handle i) {
                nb::list out;
                for (const auto &u : s.at(i).unknown_accesses())
                    out.append(nb::make_tuple(u.address, u.length, u.write));
                return out;
            },
            nb::arg("index"), "Accesses to addresses the device has no register for: (address, length, write)")
        .def_prop_ro("counters",
                     [](const PySegment &s) {
                         nb::dict d;
                         d["frames"] = s.segment.counters().frames;
                         d["datagrams"] = s.segment.counters().datagrams;
                         d["malformed"] = s.segment.counters().malformed;
                         return d;
                     })
        .def(
            "open", [](PySegment &s, const std::string &ifname) { s.socket = std::make_unique<PacketSocket>(ifname); },
            nb::arg("ifname"), "Serves the segment on this network interface (needs root or CAP_NET_RAW)")
        .def("close", [](PySegment &s) { s.socket.reset(); })
        .def_prop_ro("is_open", [](const PySegment &s) { return s.socket != nullptr; })
        .def("serve", &serve, nb::arg("seconds"),
             "Answers the frames arriving for `seconds`; returns how many were sent back. The GIL is free while "
             "waiting for a frame.");
}

}  // namespace kestrel::py
