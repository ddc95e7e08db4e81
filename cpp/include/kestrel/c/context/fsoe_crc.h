/* Safety CRC primitive: 16-bit CRC, polynomial 0x139B7, register starting at 0,
 * no reflection, no final XOR. */
#ifndef KESTREL_C_CONTEXT_FSOE_CRC_H
#define KESTREL_C_CONTEXT_FSOE_CRC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* CRC of u16SizeWords words, each fed low byte first. Zero words give 0. */
uint16_t FSOE_Crc(const uint16_t *pu16Data, uint16_t u16SizeWords);

/* CRC of a plain byte stream, starting from u16Register (0 for a fresh CRC). */
uint16_t FSOE_CrcBytes(uint16_t u16Register, const uint8_t *pu8Data, uint32_t u32Size);

/* One entry of the byte table (the register after shifting byte u8Index through). */
uint16_t FSOE_CrcTableEntry(uint8_t u8Index);

#ifdef __cplusplus
}
#endif

#endif
