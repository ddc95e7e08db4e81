// The SII EEPROM image of a virtual device: the controller's configuration
// words, identity, no mailbox, and the categories a master reads to map the
// process data (strings, general, FMMU, sync managers, TxPDO, RxPDO).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "kestrel/ecat/device.hpp"

namespace kestrel::ecat {

inline constexpr uint16_t kSiiPdiControl = 0x0005;  // an SPI host interface, as a microcontroller uses
inline constexpr size_t kSiiBytes = 1024;           // 8 kbit; the rest of the image reads as erased (0xFF)
inline constexpr uint16_t kRxPdoIndex = 0x1600;
inline constexpr uint16_t kTxPdoIndex = 0x1A00;
inline constexpr uint16_t kOutputsObject = 0x7000;
inline constexpr uint16_t kInputsObject = 0x6000;

// The checksum of words 0-6 (byte 14 of the image).
uint8_t sii_checksum(std::span<const uint8_t> first_14_bytes) noexcept;

// The name the image carries for the identity.
std::string device_name(const Identity &identity, uint16_t output_length, uint16_t input_length);

// output_length / input_length: the FSoE frame bytes of each direction.
std::vector<uint8_t> build_sii(const Identity &identity, uint16_t output_length, uint16_t input_length);

// One PDO entry as the image lists it: the FSoE frame field by field.
struct PdoEntry {
    uint16_t index;
    uint8_t subindex;
    uint8_t bits;
    const char *name;
};
std::vector<PdoEntry> pdo_entries(uint16_t object, uint16_t frame_length);

}  // namespace kestrel::ecat
