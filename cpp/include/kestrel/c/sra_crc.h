/* SRA CRC primitive (ETG.5120, 6.3): 32-bit CRC over safety-related application
 * parameters, polynomial 0x814141AB, register starting at 0, most significant
 * bit first, no reflection, no final XOR. */
#ifndef KESTREL_C_SRA_CRC_H
#define KESTREL_C_SRA_CRC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Feeds one 16-bit word, low-order byte first, into the CRC u32SeedCrc and
 * returns the new CRC. Start a fresh CRC from 0. No state of its own. */
uint32_t SraCrcCalculation(uint32_t u32SeedCrc, uint16_t u16Data);

/* Feeds a plain byte stream into the CRC u32SeedCrc and returns the new CRC. */
uint32_t SraCrcBytes(uint32_t u32SeedCrc, const uint8_t *pu8Data, uint32_t u32Size);

/* One entry of the byte table (the register after shifting byte u8Index through). */
uint32_t SraCrcTableEntry(uint8_t u8Index);

#ifdef __cplusplus
}
#endif

#endif
