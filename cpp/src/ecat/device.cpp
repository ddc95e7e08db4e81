#include "kestrel/ecat/device.hpp"

#include <algorithm>

#include "kestrel/ecat/sii.hpp"

namespace kestrel::ecat {

namespace {

constexpr uint8_t kType = 0x90;  // this emulation's own controller type
constexpr uint16_t kEepromRead8 = 0x0040;
constexpr uint16_t kEepromErrorChecksum = 0x0800;
constexpr uint16_t kEepromErrorCommand = 0x2000;
constexpr uint16_t kEepromErrorWriteEnable = 0x4000;
constexpr size_t kMaxUnknown = 64;

struct Range {
    uint16_t lo, hi;  // [lo, hi)
};
// Registers a master may touch; inside them, access is served as the
// controller serves it (read-only ones ignore writes). Anything else reads 0
// and is noted. Distributed clocks (0x0900-0x09FF) are declined: read as 0.
constexpr Range kKnown[] = {
    {0x0000, 0x000A}, {0x0010, 0x0014}, {0x0020, 0x0022}, {0x0030, 0x0032},
    {0x0040, 0x0042}, {0x0100, 0x0104}, {0x0108, 0x010A}, {0x0110, 0x0112},
    {0x0120, 0x0122}, {0x0130, 0x0136}, {0x0140, 0x0142}, {0x0150, 0x0154},
    {0x0200, 0x0206}, {0x0210, 0x0212}, {0x0220, 0x0224}, {0x0300, 0x0314},
    {0x0400, 0x0402}, {0x0410, 0x0412}, {0x0420, 0x0422}, {0x0440, 0x0444},
    {0x0500, 0x0510}, {0x0600, 0x0700}, {0x0800, 0x0880}, {reg::DC_START, reg::DC_END},
};

bool known(uint16_t a) noexcept {
    return std::any_of(std::begin(kKnown), std::end(kKnown), [a](Range r) { return a >= r.lo && a < r.hi; });
}

// Bits the master may write, per register byte.
uint8_t write_mask(uint16_t a) noexcept {
    if (a == 0x0010 || a == 0x0011) return 0xFF;              // station address
    if (a >= 0x0100 && a < 0x0104) return 0xFF;               // DL control
    if (a == 0x0108 || a == 0x0109) return 0xFF;              // physical read/write offset
    if (a == 0x0120 || a == 0x0121) return 0xFF;              // AL control
    if (a >= 0x0200 && a < 0x0202) return 0xFF;               // ECAT event mask
    if (a >= 0x0400 && a < 0x0402) return 0xFF;               // watchdog divider
    if (a == 0x0410 || a == 0x0411) return 0xFF;              // PDI watchdog time
    if (a == 0x0420 || a == 0x0421) return 0xFF;              // process-data watchdog time
    if (a == reg::EEPROM_CONFIG) return 0x03;                 // offer to PDI, force ECAT
    if (a >= reg::EEPROM_CONTROL && a < 0x0510) return 0xFF;  // control, address, data
    if (a >= reg::FMMU0 && a < reg::FMMU0 + 16 * kFmmuCount) return (a & 0x0F) < 13 ? 0xFF : 0x00;
    if (a >= reg::SM0 && a < reg::SM0 + 8 * kSmCount) {
        const unsigned off = a & 0x07;
        if (off < 5) return 0xFF;
        if (off == 6) return 0x03;  // activate, repeat request
    }
    return 0x00;
}

}  // namespace

Device::Device(sim::SlaveSimulator &application, Identity identity)
    : app_(application),
      identity_(std::move(identity)),
      output_length_(FSOE_GetFrameSizeBytes(application.config().output_size)),
      input_length_(FSOE_GetFrameSizeBytes(application.config().input_size)) {
    if (identity_.product_code == 0)
        identity_.product_code =
            kProductCodeBase | (uint32_t{application.config().output_size} << 8) | application.config().input_size;
    sii_ = build_sii(identity_, output_length_, input_length_);
    mem_[reg::TYPE] = kType;
    mem_[reg::REVISION] = 1;
    put16(reg::BUILD, 1);
    mem_[reg::FMMU_COUNT] = kFmmuCount;
    mem_[reg::SM_COUNT] = kSmCount;
    mem_[reg::RAM_SIZE] = (kMemorySize - reg::RAM) / 1024;
    mem_[reg::PORT_DESCRIPTOR] = 0x0F;  // ports 0 and 1: MII; 2 and 3 not implemented
    put16(reg::FEATURES, 0x0001);       // FMMUs work bytewise; no distributed clocks
    mem_[reg::DL_CONTROL] = 0x01;
    put16(reg::WATCHDOG_DIVIDER, 0x09C2);  // 100 us
    put16(reg::WATCHDOG_TIME_PDI, 1000);
    put16(reg::WATCHDOG_TIME_PD, 1000);  // 100 ms
    mem_[reg::WATCHDOG_STATUS_PD] = 0x01;
    put16(reg::EEPROM_CONTROL, kEepromRead8);
    apply_sii_config();
    set_al(AlState::Init, al_code::NONE);
    set_last(true);
}

void Device::put16(size_t a, uint16_t v) noexcept {
    mem_[a] = static_cast<uint8_t>(v);
    mem_[a + 1] = static_cast<uint8_t>(v >> 8);
}

void Device::set_last(bool last) noexcept {
    // PDI operational (image loaded), PDI watchdog fine, port 0 linked and
    // communicating; port 1 to the next device or closed; ports 2 and 3 closed.
    uint16_t status = 0x0001 | 0x0002 | 0x0010 | 0x0200 | 0x1000 | 0x4000;
    status |= last ? 0x0400 : (0x0020 | 0x0800);
    put16(reg::DL_STATUS, status);
}

void Device::apply_sii_config() {
    put16(reg::PDI_CONTROL, static_cast<uint16_t>(sii_[0] | (sii_[1] << 8)));
    put16(reg::STATION_ALIAS, static_cast<uint16_t>(sii_[8] | (sii_[9] << 8)));
    uint16_t control = u16(reg::EEPROM_CONTROL) & ~kEepromErrorChecksum;
    if (sii_checksum(std::span<const uint8_t>(sii_).first(14)) != sii_[14]) control |= kEepromErrorChecksum;
    put16(reg::EEPROM_CONTROL, control);
}

bool Device::addressed_by(uint16_t station) const noexcept {
    if (station == station_address()) return true;
    return (mem_[reg::DL_CONTROL + 3] & 0x01) && station == u16(reg::STATION_ALIAS);
}

Device::SmArea Device::sm(unsigned n) const noexcept {
    const size_t b = reg::SM0 + 8 * n;
    SmArea area;
    area.start = u16(b);
    area.length = u16(b + 2);
    area.control = mem_[b + 4];
    area.usable = (mem_[b + 6] & 0x01) && !(mem_[b + 7] & 0x01) && area.length > 0;
    return area;
}

bool Device::sm_allows(uint16_t address, size_t length, bool write, bool &completes_outputs) const noexcept {
    for (unsigned n = 0; n < kSmCount; ++n) {
        const size_t b = reg::SM0 + 8 * n;
        const uint16_t start = u16(b), len = u16(b + 2);
        if (!(mem_[b + 6] & 0x01) || len == 0) continue;  // a disabled manager protects nothing
        const size_t end = size_t{start} + len;
        if (address >= end || address + length <= start) continue;
        const SmArea area = sm(n);
        if (!area.usable) return false;
        const bool ecat_writes = (area.control & 0x0C) == 0x04;
        if (write != ecat_writes) return false;
        if (write && address + length >= end) completes_outputs = true;
    }
    return true;
}

void Device::note_unknown(uint16_t address, size_t length, bool write) {
    for (const auto &u : unknown_)
        if (u.address == address && u.length == length && u.write == write) return;
    if (unknown_.size() < kMaxUnknown) unknown_.push_back({address, static_cast<uint16_t>(length), write});
}

bool Device::read(uint16_t address, std::span<uint8_t> out, bool or_into) {
    const size_t end = size_t{address} + out.size();
    if (end > kMemorySize) return false;
    if (end > reg::RAM) {
        bool unused = false;
        const uint16_t from = std::max<uint16_t>(address, reg::RAM);
        if (!sm_allows(from, end - from, false, unused)) return false;
    }
    bool unknown = false;
    for (size_t i = 0; i < out.size(); ++i) {
        const size_t a = address + i;
        uint8_t v = mem_[a];
        if (a < reg::RAM && !known(static_cast<uint16_t>(a))) unknown = true;
        out[i] = or_into ? static_cast<uint8_t>(out[i] | v) : v;
    }
    if (unknown) note_unknown(address, out.size(), false);
    return true;
}

bool Device::write(uint16_t address, std::span<const uint8_t> in) {
    const size_t end = size_t{address} + in.size();
    if (end > kMemorySize) return false;
    bool completes = false;
    if (end > reg::RAM) {
        const uint16_t from = std::max<uint16_t>(address, reg::RAM);
        if (!sm_allows(from, end - from, true, completes)) return false;
        std::copy(in.begin() + (from - address), in.end(), mem_.begin() + from);
    }
    if (address < reg::RAM) write_registers(address, in.first(std::min(in.size(), size_t{reg::RAM} - address)));
    if (completes) outputs_written_ = true;
    return true;
}

void Device::write_registers(uint16_t address, std::span<const uint8_t> in) {
    const size_t end = address + in.size();
    bool unknown = false;
    for (size_t i = 0; i < in.size(); ++i) {
        const uint16_t a = static_cast<uint16_t>(address + i);
        if (a >= reg::RX_ERROR_COUNTER && a < reg::RX_ERROR_COUNTER + 0x14) {
            mem_[a] = 0;  // a write clears an error counter
            continue;
        }
        const uint8_t mask = write_mask(a);
        mem_[a] = static_cast<uint8_t>((mem_[a] & ~mask) | (in[i] & mask));
        if (!known(a)) unknown = true;
    }
    if (unknown) note_unknown(address, in.size(), true);
    const auto touches = [&](uint16_t lo, uint16_t hi) { return address < hi && end > lo; };
    if (touches(reg::EEPROM_CONTROL, reg::EEPROM_CONTROL + 2)) eeprom_command();
    if (touches(reg::AL_CONTROL, reg::AL_CONTROL + 1)) request_state(mem_[reg::AL_CONTROL]);
}

unsigned Device::logical(uint32_t address, std::span<uint8_t> frame, std::span<const uint8_t> incoming, bool read,
                         bool write) {
    unsigned done = 0;
    const uint64_t lo = address, hi = lo + frame.size();
    // Reads first, from the memory as the datagram found it; then the writes,
    // from the data as it arrived.
    for (int pass = 0; pass < 2; ++pass) {
        const bool reading = pass == 0;
        if (reading ? !read : !write) continue;
        for (unsigned f = 0; f < kFmmuCount; ++f) {
            const size_t b = reg::FMMU0 + 16 * f;
            if (!(mem_[b + 12] & 0x01)) continue;
            const uint8_t type = mem_[b + 11];
            if (!(type & (reading ? 0x01 : 0x02))) continue;
            const uint64_t fstart = static_cast<uint32_t>(u16(b) | (uint32_t{u16(b + 2)} << 16));
            const uint64_t fend = fstart + u16(b + 4);
            const uint64_t from = std::max(lo, fstart), to = std::min(hi, fend);
            if (from >= to) continue;
            const size_t physical = u16(b + 8) + (from - fstart);
            const size_t n = to - from, offset = from - lo;
            if (physical + n > kMemorySize) continue;
            const auto at = static_cast<uint16_t>(physical);
            if (reading) {
                if (this->read(at, frame.subspan(offset, n))) done |= 1;
            } else if (this->write(at, incoming.subspan(offset, n))) {
                done |= 2;
            }
        }
    }
    return done;
}

void Device::eeprom_command() {
    const uint16_t written = u16(reg::EEPROM_CONTROL);
    const unsigned command = (written >> 8) & 0x07;
    const bool write_enable = written & 0x0001;
    uint16_t status = kEepromRead8 | (written & kEepromErrorChecksum);
    const size_t words = sii_.size() / 2;
    const size_t word = (u16(reg::EEPROM_ADDRESS) | (size_t{u16(reg::EEPROM_ADDRESS + 2)} << 16)) % words;
    switch (command) {
        case 0:  // no command: clears the error bits
            status &= ~kEepromErrorChecksum;
            break;
        case 1:  // read 8 bytes, wrapping around the end as an EEPROM does
            for (size_t i = 0; i < 8; ++i) mem_[reg::EEPROM_DATA + i] = sii_[(2 * word + i) % sii_.size()];
            break;
        case 2:  // write one word
            if (!write_enable) {
                status |= kEepromErrorWriteEnable;
            } else {
                sii_[2 * word] = mem_[reg::EEPROM_DATA];
                sii_[2 * word + 1] = mem_[reg::EEPROM_DATA + 1];
            }
            break;
        case 4:  // reload the configuration words
            put16(reg::EEPROM_CONTROL, status);
            apply_sii_config();
            return;
        default:
            status |= kEepromErrorCommand;
    }
    put16(reg::EEPROM_CONTROL, status);
}

void Device::set_al(AlState state, uint16_t code) {
    const auto s = static_cast<uint8_t>(state);
    put16(reg::AL_STATUS, static_cast<uint16_t>(s | (code != al_code::NONE ? 0x10 : 0x00)));
    put16(reg::AL_STATUS_CODE, code);
    // The application keeps the process-data managers closed until SAFE-OP.
    const bool process_data = state == AlState::SafeOp || state == AlState::Op;
    for (unsigned n = 0; n < 2; ++n) mem_[reg::SM0 + 8 * n + 7] = process_data ? 0x00 : 0x01;
    if (state == AlState::Op) {
        watchdog_armed_ = true;
        last_output_ns_ = now_ns_;
        mem_[reg::WATCHDOG_STATUS_PD] |= 0x01;
    } else {
        watchdog_armed_ = false;
    }
}

uint16_t Device::check_safeop_config() const noexcept {
    // The application keeps the managers closed in PRE-OP: judge what the
    // master configured.
    const auto check = [this](unsigned n, uint16_t start, uint16_t length, uint8_t control, uint16_t wrong_length) {
        const SmArea area = sm(n);
        if (!(mem_[reg::SM0 + 8 * n + 6] & 0x01)) return al_code::INVALID_SM_CONFIG;
        if (area.start != start || (area.control & 0x0F) != (control & 0x0F)) return al_code::INVALID_SM_CONFIG;
        if (area.length != length) return wrong_length;
        return al_code::NONE;
    };
    if (uint16_t c = check(0, kOutputsAddress, output_length_, kOutputsControl, al_code::INVALID_OUTPUT_CONFIG))
        return c;
    return check(1, kInputsAddress, input_length_, kInputsControl, al_code::INVALID_INPUT_CONFIG);
}

void Device::request_state(uint8_t control) {
    const uint8_t requested = control & 0x0F;
    const bool ack = control & 0x10;
    const AlState current = al_state();
    const auto rank = [](uint8_t s) { return s == 8 ? 4 : s == 4 ? 3 : s; };  // INIT < PRE-OP < SAFE-OP < OP
    // An indicated error holds the device where it is until the master
    // acknowledges it; going down is always possible.
    if (al_error() && !ack && rank(requested) >= rank(static_cast<uint8_t>(current))) return;
    const uint16_t kept_code = ack ? al_code::NONE : al_status_code();
    const auto refuse = [&](uint16_t code) { set_al(current, code); };
    switch (requested) {
        case 1:
        case 2:
        case 4:
        case 8:
            break;
        case 3:
            return refuse(al_code::BOOTSTRAP_NOT_SUPPORTED);
        default:
            return refuse(al_code::UNKNOWN_STATE);
    }
    const auto target = static_cast<AlState>(requested);
    if (target == current) return set_al(current, kept_code);
    if (rank(requested) < rank(static_cast<uint8_t>(current))) return set_al(target, kept_code);
    // Up: one step at a time.
    if (rank(requested) != rank(static_cast<uint8_t>(current)) + 1) return refuse(al_code::INVALID_STATE_CHANGE);
    if (target == AlState::SafeOp) {
        if (uint16_t code = check_safeop_config()) return refuse(code);
    }
    set_al(target, kept_code);
}

uint64_t Device::watchdog_ns() const noexcept {
    return (uint64_t{u16(reg::WATCHDOG_DIVIDER)} + 2) * 40 * u16(reg::WATCHDOG_TIME_PD);
}

void Device::end_of_frame(uint64_t now_ns) {
    now_ns_ = now_ns;
    if (outputs_written_) {
        outputs_written_ = false;
        last_output_ns_ = now_ns;
        const auto request = std::span<const uint8_t>(mem_).subspan(kOutputsAddress, output_length_);
        // All zeros: outputs before any FSoE master has sent a frame (no FSoE
        // frame is all zeros). The application waits for the first one rather
        // than answer the empty image with an error.
        const bool empty = std::all_of(request.begin(), request.end(), [](uint8_t b) { return b == 0; });
        if (al_state() == AlState::Op && !empty) {
            const auto reply = app_.step(request);
            std::copy_n(reply.begin(), std::min<size_t>(reply.size(), input_length_), mem_.begin() + kInputsAddress);
            ++app_cycles_;
        }
    }
    tick(now_ns);
}

void Device::tick(uint64_t now_ns) {
    now_ns_ = now_ns;
    if (!watchdog_armed_ || al_state() != AlState::Op) return;
    const SmArea out = sm(0);
    const uint64_t limit = watchdog_ns();
    if (!(out.control & 0x40) || limit == 0) return;  // no watchdog trigger, or the watchdog is off
    if (now_ns - last_output_ns_ <= limit) return;
    mem_[reg::WATCHDOG_STATUS_PD] &= ~0x01;
    ++mem_[reg::WATCHDOG_COUNTER_PD];
    ++watchdog_expiries_;
    set_al(AlState::SafeOp, al_code::SM_WATCHDOG);
}

}  // namespace kestrel::ecat
