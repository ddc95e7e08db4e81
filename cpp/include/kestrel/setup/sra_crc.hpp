// SRA CRC of a parameter set (ETG.5120, 6.3), over the frame-layer primitive.
#pragma once

#include <cstdint>
#include <span>

#include "kestrel/c/sra_crc.h"

namespace kestrel {

// The words in order, each low byte first, from a register of 0. An empty
// set gives 0.
inline uint32_t calculate_sra_crc(std::span<const uint16_t> params) noexcept {
    uint32_t crc = 0;
    for (uint16_t word : params) crc = SraCrcCalculation(crc, word);
    return crc;
}

}  // namespace kestrel
