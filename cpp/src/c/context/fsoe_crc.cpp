#include "kestrel/c/context/fsoe_crc.h"

#include "crc_tables.hpp"

using kestrel::crc_detail::kByteTable;
using kestrel::crc_detail::step;

static_assert(kByteTable[1] == 0x39B7 && kByteTable[255] == 0x07C1);

extern "C" uint16_t FSOE_Crc(const uint16_t *pu16Data, uint16_t u16SizeWords) {
    uint16_t reg = 0;
    for (uint16_t i = 0; i < u16SizeWords; ++i) {
        reg = step(reg, static_cast<uint8_t>(pu16Data[i] & 0xFFu));
        reg = step(reg, static_cast<uint8_t>(pu16Data[i] >> 8));
    }
    return reg;
}

extern "C" uint16_t FSOE_CrcBytes(uint16_t u16Register, const uint8_t *pu8Data, uint32_t u32Size) {
    for (uint32_t i = 0; i < u32Size; ++i) u16Register = step(u16Register, pu8Data[i]);
    return u16Register;
}

extern "C" uint16_t FSOE_CrcTableEntry(uint8_t u8Index) { return kByteTable[u8Index]; }
