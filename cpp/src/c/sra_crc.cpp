#include "kestrel/c/sra_crc.h"

#include <array>

namespace {

constexpr uint32_t kSraPolynomial = 0x814141ABu;

constexpr std::array<uint32_t, 256> make_sra_table() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t reg = i << 24;
        for (int bit = 0; bit < 8; ++bit) reg = (reg & 0x80000000u) ? (reg << 1) ^ kSraPolynomial : reg << 1;
        t[i] = reg;
    }
    return t;
}

constexpr std::array<uint32_t, 256> au32CrcTable = make_sra_table();

static_assert(au32CrcTable[0] == 0x00000000u && au32CrcTable[1] == 0x814141ABu && au32CrcTable[2] == 0x83C3C2FDu &&
              au32CrcTable[3] == 0x02828356u && au32CrcTable[4] == 0x86C6C451u && au32CrcTable[128] == 0x40005999u &&
              au32CrcTable[255] == 0x80006EEEu);

constexpr uint32_t sra_step(uint32_t u32Crc, uint8_t u8Byte) noexcept {
    return (u32Crc << 8) ^ au32CrcTable[((u32Crc >> 24) ^ u8Byte) & 0xFFu];
}

}  // namespace

extern "C" uint32_t SraCrcCalculation(uint32_t u32SeedCrc, uint16_t u16Data) {
    uint32_t u32Crc = sra_step(u32SeedCrc, static_cast<uint8_t>(u16Data & 0xFFu));
    u32Crc = sra_step(u32Crc, static_cast<uint8_t>(u16Data >> 8));
    return u32Crc;
}

extern "C" uint32_t SraCrcBytes(uint32_t u32SeedCrc, const uint8_t *pu8Data, uint32_t u32Size) {
    for (uint32_t i = 0; i < u32Size; ++i) u32SeedCrc = sra_step(u32SeedCrc, pu8Data[i]);
    return u32SeedCrc;
}

extern "C" uint32_t SraCrcTableEntry(uint8_t u8Index) { return au32CrcTable[u8Index]; }
