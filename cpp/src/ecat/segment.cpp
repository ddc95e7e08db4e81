#include "kestrel/ecat/segment.hpp"

#include <chrono>

namespace kestrel::ecat {

namespace {

constexpr size_t kEthernetHeader = 14;
constexpr size_t kDatagramHeader = 10;
constexpr size_t kWkcBytes = 2;

uint16_t le16(const uint8_t *p) noexcept { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
void put_le16(uint8_t *p, uint16_t v) noexcept {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

uint64_t steady_ns() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}

}  // namespace

Segment::Segment(Clock clock) : clock_(clock ? std::move(clock) : Clock(steady_ns)) { scratch_.reserve(2048); }

uint64_t Segment::now_ns() const { return clock_(); }

Device &Segment::add_device(sim::SlaveSimulator &application, Identity identity) {
    if (!devices_.empty()) devices_.back()->set_last(false);
    devices_.push_back(std::make_unique<Device>(application, std::move(identity)));
    return *devices_.back();
}

void Segment::tick() {
    const uint64_t now = clock_();
    for (auto &d : devices_) d->tick(now);
}

FrameResult Segment::process(std::span<uint8_t> frame) {
    if (frame.size() < kEthernetHeader) {
        ++counters_.malformed;
        return FrameResult::Malformed;
    }
    size_t offset = 12;
    uint16_t ether_type = static_cast<uint16_t>((frame[offset] << 8) | frame[offset + 1]);
    if (ether_type == 0x8100 && frame.size() >= 18) {  // one VLAN tag
        offset += 4;
        ether_type = static_cast<uint16_t>((frame[offset] << 8) | frame[offset + 1]);
    }
    if (ether_type != kEtherType) return FrameResult::NotEtherCAT;
    offset += 2;
    if (frame.size() < offset + 2) {
        ++counters_.malformed;
        return FrameResult::Malformed;
    }
    const uint16_t header = le16(&frame[offset]);
    const size_t length = header & 0x07FF;
    const unsigned type = header >> 12;
    offset += 2;
    if (offset + length > frame.size()) {
        ++counters_.malformed;
        return FrameResult::Malformed;
    }
    const std::span<uint8_t> body = frame.subspan(offset, length);

    if (type == 1) {
        // The whole chain of datagrams must fit before any device acts on it.
        size_t count = 0;
        for (size_t pos = 0;;) {
            if (pos + kDatagramHeader + kWkcBytes > body.size()) {
                ++counters_.malformed;
                return FrameResult::Malformed;
            }
            const size_t data = le16(&body[pos + 6]) & 0x07FF;
            if (pos + kDatagramHeader + data + kWkcBytes > body.size()) {
                ++counters_.malformed;
                return FrameResult::Malformed;
            }
            ++count;
            const bool more = body[pos + 7] & 0x80;
            pos += kDatagramHeader + data + kWkcBytes;
            if (!more) break;
        }
        for (size_t pos = 0, n = 0; n < count; ++n) {
            const size_t data = le16(&body[pos + 6]) & 0x07FF;
            datagram(static_cast<Command>(body[pos]), body.subspan(pos, kDatagramHeader),
                     body.subspan(pos + kDatagramHeader, data), body.subspan(pos + kDatagramHeader + data, 2));
            pos += kDatagramHeader + data + kWkcBytes;
        }
        counters_.datagrams += count;
        const uint64_t now = clock_();
        for (auto &d : devices_) d->end_of_frame(now);
    }
    frame[6] |= 0x02;  // source address: the frame passed a device's processing unit
    ++counters_.frames;
    return FrameResult::Forwarded;
}

void Segment::datagram(Command command, std::span<uint8_t> header, std::span<uint8_t> data, std::span<uint8_t> wkc) {
    const auto cmd = static_cast<uint8_t>(command);
    if (cmd == 0 || cmd > static_cast<uint8_t>(Command::FRMW)) return;  // NOP, or no command: passed on untouched
    const bool rw = command == Command::APRW || command == Command::FPRW || command == Command::BRW ||
                    command == Command::LRW || command == Command::ARMW || command == Command::FRMW;
    uint16_t counter = le16(wkc.data());
    for (auto &device : devices_) {
        Device &d = *device;
        // A device writes the data as it reaches it, reads go into the frame.
        if (rw) scratch_.assign(data.begin(), data.end());
        const std::span<const uint8_t> incoming = rw ? std::span<const uint8_t>(scratch_) : data;
        const uint16_t adp = le16(&header[2]), ado = le16(&header[4]);
        unsigned add = 0;
        switch (command) {
            case Command::APRD:
            case Command::APWR:
            case Command::APRW:
            case Command::FPRD:
            case Command::FPWR:
            case Command::FPRW: {
                const bool position = command <= Command::APRW;
                if (position ? adp != 0 : !d.addressed_by(adp)) break;
                const bool reads = command != Command::APWR && command != Command::FPWR;
                const bool writes = command != Command::APRD && command != Command::FPRD;
                if (reads && d.read(ado, data)) add += 1;
                if (writes && d.write(ado, incoming)) add += reads ? 2 : 1;
                break;
            }
            case Command::BRD:
                if (d.read(ado, data, true)) add = 1;
                break;
            case Command::BWR:
                if (d.write(ado, data)) add = 1;
                break;
            case Command::BRW:
                if (d.read(ado, data, true)) add += 1;
                if (d.write(ado, incoming)) add += 2;
                break;
            case Command::LRD:
            case Command::LWR:
            case Command::LRW: {
                const uint32_t logical = static_cast<uint32_t>(adp | (uint32_t{ado} << 16));
                const unsigned done =
                    d.logical(logical, data, incoming, command != Command::LWR, command != Command::LRD);
                if (command == Command::LRW) {
                    add = ((done & 1) ? 1 : 0) + ((done & 2) ? 2 : 0);
                } else {
                    add = done ? 1 : 0;
                }
                break;
            }
            case Command::ARMW:
            case Command::FRMW: {
                const bool addressed = command == Command::ARMW ? adp == 0 : d.addressed_by(adp);
                if (addressed ? d.read(ado, data) : d.write(ado, incoming)) add = 1;
                break;
            }
            default:
                break;
        }
        counter = static_cast<uint16_t>(counter + add);
        // Position and broadcast addressing: each device counts the address up.
        if (command <= Command::APRW || (command >= Command::BRD && command <= Command::BRW) ||
            command == Command::ARMW)
            put_le16(&header[2], static_cast<uint16_t>(adp + 1));
    }
    put_le16(wkc.data(), counter);
}

}  // namespace kestrel::ecat
