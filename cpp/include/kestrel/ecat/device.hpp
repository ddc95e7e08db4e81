// One emulated EtherCAT slave controller and its device application.
//
// The controller's memory (registers 0x0000-0x0FFF, process RAM 0x1000-0x1FFF)
// is served to the datagrams that address it; the application side (AL state
// machine, SII EEPROM, process-data watchdog) runs on the same thread between
// and after datagrams. The application is a SlaveSimulator: its FSoE request
// sits in the output sync manager (SM0), its reply in the input one (SM1).
//
// Everything works on byte buffers; no socket, clock or thread of its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "kestrel/sim/slave_simulator.hpp"

namespace kestrel::ecat {

// Register addresses (byte offsets in the controller's memory).
namespace reg {
inline constexpr uint16_t TYPE = 0x0000;
inline constexpr uint16_t REVISION = 0x0001;
inline constexpr uint16_t BUILD = 0x0002;
inline constexpr uint16_t FMMU_COUNT = 0x0004;
inline constexpr uint16_t SM_COUNT = 0x0005;
inline constexpr uint16_t RAM_SIZE = 0x0006;
inline constexpr uint16_t PORT_DESCRIPTOR = 0x0007;
inline constexpr uint16_t FEATURES = 0x0008;
inline constexpr uint16_t STATION_ADDRESS = 0x0010;
inline constexpr uint16_t STATION_ALIAS = 0x0012;
inline constexpr uint16_t DL_CONTROL = 0x0100;
inline constexpr uint16_t DL_STATUS = 0x0110;
inline constexpr uint16_t AL_CONTROL = 0x0120;
inline constexpr uint16_t AL_STATUS = 0x0130;
inline constexpr uint16_t AL_STATUS_CODE = 0x0134;
inline constexpr uint16_t PDI_CONTROL = 0x0140;
inline constexpr uint16_t ECAT_EVENT_MASK = 0x0200;
inline constexpr uint16_t RX_ERROR_COUNTER = 0x0300;
inline constexpr uint16_t WATCHDOG_DIVIDER = 0x0400;
inline constexpr uint16_t WATCHDOG_TIME_PDI = 0x0410;
inline constexpr uint16_t WATCHDOG_TIME_PD = 0x0420;
inline constexpr uint16_t WATCHDOG_STATUS_PD = 0x0440;
inline constexpr uint16_t WATCHDOG_COUNTER_PD = 0x0442;
inline constexpr uint16_t EEPROM_CONFIG = 0x0500;
inline constexpr uint16_t EEPROM_PDI_ACCESS = 0x0501;
inline constexpr uint16_t EEPROM_CONTROL = 0x0502;
inline constexpr uint16_t EEPROM_ADDRESS = 0x0504;
inline constexpr uint16_t EEPROM_DATA = 0x0508;
inline constexpr uint16_t FMMU0 = 0x0600;
inline constexpr uint16_t SM0 = 0x0800;
inline constexpr uint16_t DC_START = 0x0900;
inline constexpr uint16_t DC_END = 0x0A00;
inline constexpr uint16_t RAM = 0x1000;
}  // namespace reg

inline constexpr size_t kMemorySize = 0x2000;
inline constexpr unsigned kFmmuCount = 4;
inline constexpr unsigned kSmCount = 4;
inline constexpr uint16_t kOutputsAddress = 0x1000;  // SM0: the master's request
inline constexpr uint16_t kInputsAddress = 0x1100;   // SM1: the slave's reply
inline constexpr uint8_t kOutputsControl = 0x64;     // buffered, ECAT writes, PDI event, watchdog trigger
inline constexpr uint8_t kInputsControl = 0x20;      // buffered, ECAT reads, PDI event

enum class AlState : uint8_t { Init = 1, PreOp = 2, Bootstrap = 3, SafeOp = 4, Op = 8 };

// AL status codes this device gives.
namespace al_code {
inline constexpr uint16_t NONE = 0x0000;
inline constexpr uint16_t INVALID_STATE_CHANGE = 0x0011;
inline constexpr uint16_t UNKNOWN_STATE = 0x0012;
inline constexpr uint16_t BOOTSTRAP_NOT_SUPPORTED = 0x0013;
inline constexpr uint16_t INVALID_SM_CONFIG = 0x0017;
inline constexpr uint16_t SM_WATCHDOG = 0x001B;
inline constexpr uint16_t INVALID_OUTPUT_CONFIG = 0x001D;
inline constexpr uint16_t INVALID_INPUT_CONFIG = 0x001E;
}  // namespace al_code

inline constexpr uint32_t kProductCodeBase = 0x46530000;

struct Identity {
    uint32_t vendor_id = 0x00000000;
    // 0: derived from the safe-data sizes, 0x4653ooii ("FS", outputs, inputs). Devices
    // of another layout need another code: masters reuse what they read of a
    // device for the next ones of the same identity.
    uint32_t product_code = 0;
    uint32_t revision = 1;
    uint32_t serial = 0;
    uint16_t alias = 0;
    std::string name;  // empty: "FSoE slave <out>/<in> bytes"
};

// An access the device served but has no register for (reads 0, writes
// ignored): kept so that what a master touches can be looked up.
struct UnknownAccess {
    uint16_t address;
    uint16_t length;
    bool write;
};

class Device {
public:
    // The simulator is the device's application and must outlive the device.
    Device(sim::SlaveSimulator &application, Identity identity = {});

    // --- datagram side (the segment calls these in chain order) ---
    // Physical access at `address`: returns false (nothing done) for a range
    // beyond the memory or into a sync manager area that does not allow it.
    bool read(uint16_t address, std::span<uint8_t> out, bool or_into = false);
    bool write(uint16_t address, std::span<const uint8_t> in);
    // Logical access through the FMMUs: reads into `frame`, writes from
    // `incoming` (the datagram's data as it arrived). Returns the working
    // counter increment (read 1, write 2).
    unsigned logical(uint32_t address, std::span<uint8_t> frame, std::span<const uint8_t> incoming, bool read,
                     bool write);
    bool addressed_by(uint16_t station) const noexcept;

    // After a frame has passed: runs the application on new outputs.
    void end_of_frame(uint64_t now_ns);
    // Time passing without frames: the process-data watchdog.
    void tick(uint64_t now_ns);

    // --- inspection ---
    AlState al_state() const noexcept { return static_cast<AlState>(mem_[reg::AL_STATUS] & 0x0F); }
    bool al_error() const noexcept { return (mem_[reg::AL_STATUS] & 0x10) != 0; }
    uint16_t al_status_code() const noexcept { return u16(reg::AL_STATUS_CODE); }
    uint16_t station_address() const noexcept { return u16(reg::STATION_ADDRESS); }
    std::span<const uint8_t> memory() const noexcept { return mem_; }
    std::span<const uint8_t> sii() const noexcept { return sii_; }
    const Identity &identity() const noexcept { return identity_; }
    uint16_t output_length() const noexcept { return output_length_; }
    uint16_t input_length() const noexcept { return input_length_; }
    sim::SlaveSimulator &application() noexcept { return app_; }
    const std::vector<UnknownAccess> &unknown_accesses() const noexcept { return unknown_; }
    uint64_t application_cycles() const noexcept { return app_cycles_; }
    uint64_t watchdog_expiries() const noexcept { return watchdog_expiries_; }

    // The segment sets the link state of port 1 (a device behind this one).
    void set_last(bool last) noexcept;

private:
    uint16_t u16(size_t a) const noexcept { return static_cast<uint16_t>(mem_[a] | (mem_[a + 1] << 8)); }
    void put16(size_t a, uint16_t v) noexcept;
    // Sync manager n's area, when enabled and active; none otherwise.
    struct SmArea {
        uint16_t start = 0, length = 0;
        uint8_t control = 0;
        bool usable = false;
    };
    SmArea sm(unsigned n) const noexcept;
    bool sm_allows(uint16_t address, size_t length, bool write, bool &completes_outputs) const noexcept;
    void write_registers(uint16_t address, std::span<const uint8_t> in);
    void note_unknown(uint16_t address, size_t length, bool write);
    void request_state(uint8_t control);
    uint16_t check_safeop_config() const noexcept;
    void set_al(AlState state, uint16_t code);
    void eeprom_command();
    void apply_sii_config();
    uint64_t watchdog_ns() const noexcept;

    sim::SlaveSimulator &app_;
    Identity identity_;
    uint16_t output_length_, input_length_;
    std::array<uint8_t, kMemorySize> mem_{};
    std::vector<uint8_t> sii_;
    std::vector<UnknownAccess> unknown_;
    bool outputs_written_ = false;
    bool watchdog_armed_ = false;
    uint64_t last_output_ns_ = 0;
    uint64_t now_ns_ = 0;
    uint64_t app_cycles_ = 0;
    uint64_t watchdog_expiries_ = 0;
};

}  // namespace kestrel::ecat
