// Diagnostic trace of transitions and CRC work, one line per item.
//
// Off by default; switched on for the process when KESTREL_LOGGING is set to a
// non-empty value at load. The check is one relaxed atomic load, so the CRC
// path pays nothing while the trace is off.
#pragma once

#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace kestrel::trace {

// What the trace prints of a frame (the frame layer fills it in).
struct FrameFields {
    uint16_t crc0;
    uint16_t connection_id;
    uint16_t sequence_number;
    uint16_t command;
    std::span<const uint16_t> crcs;  // every CRC word of the record
};

extern std::atomic<bool> g_enabled;

inline bool enabled() noexcept { return g_enabled.load(std::memory_order_relaxed); }
inline void set_enabled(bool on) noexcept { g_enabled.store(on, std::memory_order_relaxed); }

// True when the environment variable is present and not empty.
bool enabled_in_environment() noexcept;

// Receives whole blocks of text, each line ending in '\n'. The default writes
// to std::cout; an embedding host (the Python module) installs its own.
using Sink = void (*)(std::string_view text);
void set_sink(Sink sink) noexcept;  // null: the default again
// Installs `sink` only while the default is in place, so that a library
// loaded later (the Python module inside a C++ host) keeps the host's own
// sink. Returns whether `sink` was installed.
bool set_sink_if_default(Sink sink) noexcept;

// Never throw: they run inside the CRC functions, which promise not to. A
// line that cannot be built (no memory) or that the sink refuses is dropped.
void log_transition(std::string_view name) noexcept;
void log_generate_crc(const FrameFields &frame) noexcept;
void log_check_crc(std::span<const uint16_t> calc_crc, const FrameFields &frame, bool result) noexcept;

// The trace's number formats: lowercase hex without padding, and uppercase hex
// padded to four digits followed by a space.
std::string hex(unsigned value);
std::string hex4(unsigned value);

}  // namespace kestrel::trace
