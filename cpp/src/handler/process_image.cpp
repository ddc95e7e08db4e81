// The master handler on an EtherCAT process image: frame lengths for sizing
// the process data objects, and the cycle's two halves read from and written
// to a caller's area without a copy of their own.
#include <algorithm>
#include <string>

#include "kestrel/common/error.hpp"
#include "kestrel/handler/master_handler.hpp"

namespace kestrel {

namespace {

// The wire length start() would give a frame for this map: 0 for a map it refuses.
size_t frame_length_of(const DictionaryMap &map) {
    const uint16_t bytes = map.safety_bytes();
    if (bytes == 0 || bytes > MAX_DATA_BYTES || (bytes > 1 && bytes % 2 != 0)) return 0;
    return frame_length_for(bytes);
}

bool fits(size_t area_size, size_t offset, size_t needed) noexcept {
    return offset <= area_size && area_size - offset >= needed;
}

[[noreturn]] void raise_too_small(size_t area_size, size_t offset, size_t needed, const char *what) {
    raise(ErrorKind::Value, std::string("The process image area is too small: the ") + what + " needs " +
                                std::to_string(needed) + " bytes from offset " + std::to_string(offset) +
                                ", the area holds " + std::to_string(area_size) + " bytes");
}

}  // namespace

size_t MasterHandler::request_length() const { return frame_length_of(*master->dictionary_map); }

size_t MasterHandler::reply_length() const { return frame_length_of(*slave->dictionary_map); }

size_t MasterHandler::write_request_into(std::span<uint8_t> area, size_t offset) {
    // Also sized for the frames of the next start, so that a wrong layout fails at once.
    const size_t next = request_length();
    lock();
    const size_t n = current_request_length_;
    const size_t needed = std::max(n, next);
    if (!fits(area.size(), offset, needed)) {
        mutex_.unlock();
        raise_too_small(area.size(), offset, needed, "request");
    }
    std::copy_n(current_request_.begin(), n, area.begin() + static_cast<std::ptrdiff_t>(offset));
    mutex_.unlock();
    return n;
}

void MasterHandler::set_reply_from(std::span<const uint8_t> area, size_t offset) {
    const size_t n = reply_length();
    if (!fits(area.size(), offset, n)) raise_too_small(area.size(), offset, n, "reply");
    set_reply(area.subspan(offset, n));
}

}  // namespace kestrel
