// A virtual EtherCAT segment: devices in a chain behind one port.
//
// process() takes one Ethernet frame as it arrived and changes it in place as
// it leaves the last device's closed port on its way back: every datagram
// handled by every device in chain order, working counters and auto-increment
// addresses counted, the source MAC address marked. A frame that is not
// well-formed is not processed and not sent back (a controller passes it on
// with a broken checksum, which the master's network card drops).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "kestrel/ecat/device.hpp"

namespace kestrel::ecat {

inline constexpr uint16_t kEtherType = 0x88A4;

enum class Command : uint8_t { NOP = 0, APRD, APWR, APRW, FPRD, FPWR, FPRW, BRD, BWR, BRW, LRD, LWR, LRW, ARMW, FRMW };

enum class FrameResult : uint8_t {
    Forwarded,    // processed (or passed on untouched, for other EtherCAT frame types): send it back
    NotEtherCAT,  // another EtherType: not for the segment
    Malformed,    // truncated or inconsistent: dropped, no device touched
};

struct SegmentCounters {
    uint64_t frames = 0;     // frames forwarded
    uint64_t datagrams = 0;  // datagrams handled
    uint64_t malformed = 0;  // frames dropped as malformed
};

class Segment {
public:
    // Time for the devices' process-data watchdogs, in nanoseconds.
    using Clock = std::function<uint64_t()>;
    explicit Segment(Clock clock = {});

    // Appends a device at the end of the chain; the simulator must outlive the segment.
    Device &add_device(sim::SlaveSimulator &application, Identity identity = {});
    size_t size() const noexcept { return devices_.size(); }
    Device &device(size_t i) { return *devices_.at(i); }
    const Device &device(size_t i) const { return *devices_.at(i); }

    FrameResult process(std::span<uint8_t> frame);
    // Between frames: lets the watchdogs see the time pass.
    void tick();

    const SegmentCounters &counters() const noexcept { return counters_; }
    uint64_t now_ns() const;

private:
    void datagram(Command command, std::span<uint8_t> header, std::span<uint8_t> data, std::span<uint8_t> wkc);

    Clock clock_;
    std::vector<std::unique_ptr<Device>> devices_;
    SegmentCounters counters_;
    std::vector<uint8_t> scratch_;  // a datagram's data as it arrived, for LRW and the RW commands
};

}  // namespace kestrel::ecat
