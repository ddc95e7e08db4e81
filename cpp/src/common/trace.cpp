#include "kestrel/common/trace.hpp"

#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace kestrel::trace {

bool enabled_in_environment() noexcept {
    const char *value = std::getenv("KESTREL_LOGGING");
    return value != nullptr && value[0] != '\0';
}

std::atomic<bool> g_enabled{enabled_in_environment()};

namespace {

void cout_sink(std::string_view text) { std::cout << text << std::flush; }

std::atomic<Sink> g_sink{&cout_sink};

void emit(const std::string &text) { g_sink.load(std::memory_order_acquire)(text); }

void append_control(std::string &out, const FrameFields &frame) {
    out += "Reference CRC0:    0x" + hex(frame.crc0) + "\n";
    out += "Connection ID:     0x" + hex(frame.connection_id) + "\n";
    out += "Sequence number:   0x" + hex(frame.sequence_number) + "\n";
    out += "Command:           0x" + hex(frame.command) + "\n";
}

}  // namespace

void set_sink(Sink sink) noexcept { g_sink.store(sink ? sink : &cout_sink, std::memory_order_release); }

bool set_sink_if_default(Sink sink) noexcept {
    Sink expected = &cout_sink;
    return g_sink.compare_exchange_strong(expected, sink ? sink : &cout_sink, std::memory_order_acq_rel);
}

std::string hex(unsigned value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", value);
    return buf;
}

std::string hex4(unsigned value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%04X ", value);
    return buf;
}

void log_transition(std::string_view name) noexcept try {
    if (!enabled()) return;
    std::string out = "MASTER | TRANSITION | ";
    out += name;
    out += '\n';
    emit(out);
} catch (...) {
}

void log_generate_crc(const FrameFields &frame) noexcept try {
    if (!enabled()) return;
    std::string out = "MASTER | CRC | Generating\n";
    out += "Calculated CRC[0]: 0x" + hex(frame.crcs.empty() ? 0u : frame.crcs[0]) + "\n";
    append_control(out, frame);
    emit(out);
} catch (...) {
}

void log_check_crc(std::span<const uint16_t> calc_crc, const FrameFields &frame, bool result) noexcept try {
    if (!enabled()) return;
    std::string out = "MASTER | CRC | Check\nCalculated CRCs:   ";
    for (uint16_t c : calc_crc) out += hex4(c);
    out += "\nReceived CRCs:     ";
    for (uint16_t c : frame.crcs) out += hex4(c);
    out += "\n";
    append_control(out, frame);
    out += result ? "VALID\n" : "INVALID!\n";
    emit(out);
} catch (...) {
}

}  // namespace kestrel::trace
