// The platform layer: a Linux packet socket on one interface that receives
// the EtherCAT frames arriving there and sends frames out of it.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace kestrel::ecat {

class PacketSocket {
public:
    // RuntimeError with the system's reason (no such interface, no permission).
    explicit PacketSocket(const std::string &ifname);
    ~PacketSocket();
    PacketSocket(const PacketSocket &) = delete;
    PacketSocket &operator=(const PacketSocket &) = delete;

    // Waits up to timeout_ms (negative: forever) for a frame that arrived on
    // the interface (never one this machine sent); returns its length, 0 on
    // timeout. Frames longer than `buffer` are dropped.
    size_t receive(std::span<uint8_t> buffer, int timeout_ms);
    void send(std::span<const uint8_t> frame);
    void close() noexcept;
    bool is_open() const noexcept { return fd_ >= 0; }

private:
    int fd_ = -1;
    int ifindex_ = 0;
};

// Serves a segment on a socket until `stop` returns true (asked between
// frames, at least every poll_ms).
class Segment;
uint64_t serve(Segment &segment, PacketSocket &socket, int poll_ms, const std::function<bool()> &stop);

}  // namespace kestrel::ecat
