#include "kestrel/ecat/packet_socket.hpp"

#include <arpa/inet.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>

#include "kestrel/common/error.hpp"
#include "kestrel/ecat/segment.hpp"

namespace kestrel::ecat {

namespace {
[[noreturn]] void fail(const std::string &what) { raise(ErrorKind::Runtime, what + ": " + std::strerror(errno)); }
}  // namespace

PacketSocket::PacketSocket(const std::string &ifname) {
    if (ifname.empty() || ifname.size() >= IFNAMSIZ) raise(ErrorKind::Value, "invalid interface name: " + ifname);
    ifindex_ = static_cast<int>(if_nametoindex(ifname.c_str()));
    if (ifindex_ == 0) fail("no interface " + ifname);
    fd_ = ::socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(kEtherType));
    if (fd_ < 0) fail("cannot open a packet socket (root or CAP_NET_RAW needed)");
    sockaddr_ll address{};
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(kEtherType);
    address.sll_ifindex = ifindex_;
    if (::bind(fd_, reinterpret_cast<sockaddr *>(&address), sizeof address) < 0) {
        const int saved = errno;
        close();
        errno = saved;
        fail("cannot bind to " + ifname);
    }
    // A master may address the segment with any destination address.
    packet_mreq membership{};
    membership.mr_ifindex = ifindex_;
    membership.mr_type = PACKET_MR_PROMISC;
    ::setsockopt(fd_, SOL_PACKET, PACKET_ADD_MEMBERSHIP, &membership, sizeof membership);
}

PacketSocket::~PacketSocket() { close(); }

void PacketSocket::close() noexcept {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

size_t PacketSocket::receive(std::span<uint8_t> buffer, int timeout_ms) {
    for (;;) {
        pollfd p{fd_, POLLIN, 0};
        const int ready = ::poll(&p, 1, timeout_ms);
        if (ready < 0) {
            if (errno == EINTR) return 0;
            fail("poll");
        }
        if (ready == 0) return 0;
        sockaddr_ll from{};
        socklen_t from_len = sizeof from;
        const ssize_t n =
            ::recvfrom(fd_, buffer.data(), buffer.size(), MSG_TRUNC, reinterpret_cast<sockaddr *>(&from), &from_len);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            fail("recvfrom");
        }
        if (from.sll_pkttype == PACKET_OUTGOING) continue;     // our own frames
        if (static_cast<size_t>(n) > buffer.size()) continue;  // longer than any EtherCAT frame: not one
        return static_cast<size_t>(n);
    }
}

void PacketSocket::send(std::span<const uint8_t> frame) {
    if (::send(fd_, frame.data(), frame.size(), 0) < 0 && errno != ENOBUFS && errno != EAGAIN) fail("send");
}

uint64_t serve(Segment &segment, PacketSocket &socket, int poll_ms, const std::function<bool()> &stop) {
    std::array<uint8_t, 1518> buffer{};
    uint64_t served = 0;
    while (!stop || !stop()) {
        const size_t n = socket.receive(buffer, poll_ms);
        if (n == 0) {
            segment.tick();
            continue;
        }
        const std::span<uint8_t> frame(buffer.data(), n);
        if (segment.process(frame) == FrameResult::Forwarded) {
            socket.send(frame);
            ++served;
        }
    }
    return served;
}

}  // namespace kestrel::ecat
