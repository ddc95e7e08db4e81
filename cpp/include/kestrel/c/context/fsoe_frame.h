/* Frame record, wire codec and the block CRC operations.
 *
 * Plain records and free functions: no allocation, no error reporting. The
 * functions never read or write outside the record and the buffers described
 * below, whatever the record's size field or the input length says: sizes are
 * clamped to the record (16 data bytes) and decoding reads only the words it
 * is given. */
#ifndef KESTREL_C_CONTEXT_FSOE_FRAME_H
#define KESTREL_C_CONTEXT_FSOE_FRAME_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define FSOE_MAX_DATA_WORDS 8u
#define FSOE_MAX_CRC_WORDS 8u
#define FSOE_MAX_DATA_BYTES 16u
/* Longest frame on the wire: 16 data bytes, 8 CRCs, command, connection id. */
#define FSOE_MAX_FRAME_BYTES 35u
/* Encode buffers must hold this many bytes (the longest frame rounded to words). */
#define FSOE_FRAME_BUFFER_BYTES 36u

typedef struct {
    uint16_t u16Command;
    uint16_t u16SequenceNum;
    uint16_t u16ConnectionId;
    uint16_t u16Crc0;
} FSOE_SFrameControl;

typedef struct {
    FSOE_SFrameControl sControl;
    uint16_t au16Data[FSOE_MAX_DATA_WORDS];
    uint16_t au16Crc[FSOE_MAX_CRC_WORDS];
    uint16_t u16DataSizeBytes;
} FSOE_SFrame;

static inline uint16_t FSOE_GetDataSizeWords(uint16_t u16DataSizeBytes) {
    return (uint16_t)((u16DataSizeBytes + 1u) / 2u);
}

static inline uint16_t FSOE_GetDataSizeBytes(uint16_t u16FrameSizeWords) {
    return u16FrameSizeWords <= 2u ? 0u : (uint16_t)((2u * u16FrameSizeWords - 3u) / 2u);
}

/* Length on the wire of a frame with n safe-data bytes (n = 0, 1 or even up to 16). */
static inline uint16_t FSOE_GetFrameSizeBytes(uint16_t u16DataSizeBytes) {
    return (uint16_t)(2u * FSOE_GetDataSizeWords(u16DataSizeBytes) + u16DataSizeBytes + 3u);
}

void FSOE_FrameInit(FSOE_SFrame *psFrame, uint16_t u16FrameSizeWords);

/* Decodes u16SizeWords words (2 bytes each, wire byte 2k in the low half of
 * word k). An odd data size above 1 is not a wire format: the decoder then
 * takes the largest valid frame that fits (one data byte less), and sizes above
 * 16 bytes are clamped to 16, so it never reads past its input. */
void FSOE_FrameFromArray(FSOE_SFrame *psFrame, const uint16_t *pu16Data, uint16_t u16SizeWords);

/* The same from wire bytes: sizeBytes bytes decode as (sizeBytes + 1) / 2
 * words, the missing half of an odd last word reading as 0. */
void FSOE_FrameFromBytes(FSOE_SFrame *psFrame, const uint8_t *pu8Data, size_t sizeBytes);

/* Encodes into a buffer of at least FSOE_FRAME_BUFFER_BYTES bytes and stores
 * the length in bytes. */
void FSOE_FrameToArray(uint16_t *pu16Data, const FSOE_SFrame *psFrame, uint16_t *pu16SizeBytes);

/* The same as wire bytes into a buffer of at least FSOE_FRAME_BUFFER_BYTES
 * bytes; returns the length in bytes (the byte after an odd length is 0). */
uint16_t FSOE_FrameToBytes(uint8_t *pu8Data, const FSOE_SFrame *psFrame);

void FSOE_FrameGenerateCrc(FSOE_SFrame *psFrame);

/* au16CalculatedCrc may be NULL; otherwise it receives the CRC of every block
 * and the check does not stop at the first mismatch. */
bool FSOE_FrameCheckCrc(const FSOE_SFrame *psFrame, uint16_t *au16CalculatedCrc);

uint16_t FSOE_FrameCalcCrc0(const FSOE_SFrame *psFrame);

#ifdef __cplusplus
}
#endif

#endif
