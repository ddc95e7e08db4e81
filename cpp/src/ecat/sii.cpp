#include "kestrel/ecat/sii.hpp"

#include <algorithm>
#include <string>

namespace kestrel::ecat {

namespace {

constexpr uint16_t kCatStrings = 10;
constexpr uint16_t kCatGeneral = 30;
constexpr uint16_t kCatFmmu = 40;
constexpr uint16_t kCatSyncM = 41;
constexpr uint16_t kCatTxPdo = 50;
constexpr uint16_t kCatRxPdo = 51;
constexpr uint8_t kUint8 = 0x05;
constexpr uint8_t kUint16 = 0x06;

// String indices (1-based; 0 is "no string").
enum Str : uint8_t { Name = 1, Group, Request, Reply, CommandName, DataName, CrcName, ConnectionName };

void put16(std::vector<uint8_t> &v, size_t at, uint16_t x) {
    v[at] = static_cast<uint8_t>(x);
    v[at + 1] = static_cast<uint8_t>(x >> 8);
}
void put32(std::vector<uint8_t> &v, size_t at, uint32_t x) {
    put16(v, at, static_cast<uint16_t>(x));
    put16(v, at + 2, static_cast<uint16_t>(x >> 16));
}
void add16(std::vector<uint8_t> &v, uint16_t x) {
    v.push_back(static_cast<uint8_t>(x));
    v.push_back(static_cast<uint8_t>(x >> 8));
}

void category(std::vector<uint8_t> &image, uint16_t type, std::vector<uint8_t> data) {
    if (data.size() % 2) data.push_back(0);
    add16(image, type);
    add16(image, static_cast<uint16_t>(data.size() / 2));
    image.insert(image.end(), data.begin(), data.end());
}

uint8_t entry_name(const char *name) {
    const std::string n(name);
    if (n == "FSoE command") return CommandName;
    if (n == "FSoE CRC") return CrcName;
    if (n == "FSoE connection ID") return ConnectionName;
    return DataName;
}

std::vector<uint8_t> pdo(uint16_t index, uint8_t sm, uint8_t name, uint16_t object, uint16_t frame_length) {
    const auto entries = pdo_entries(object, frame_length);
    std::vector<uint8_t> d;
    add16(d, index);
    d.push_back(static_cast<uint8_t>(entries.size()));
    d.push_back(sm);
    d.push_back(0);  // no distributed-clock synchronisation
    d.push_back(name);
    add16(d, 0);
    for (const auto &e : entries) {
        add16(d, e.index);
        d.push_back(e.subindex);
        d.push_back(entry_name(e.name));
        d.push_back(e.bits == 8 ? kUint8 : kUint16);
        d.push_back(e.bits);
        add16(d, 0);
    }
    return d;
}

}  // namespace

uint8_t sii_checksum(std::span<const uint8_t> bytes) noexcept {
    uint8_t crc = 0xFF;
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = static_cast<uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

std::string device_name(const Identity &identity, uint16_t output_length, uint16_t input_length) {
    if (!identity.name.empty()) return identity.name.substr(0, 255);
    const auto safe = [](uint16_t frame) { return frame == 6 ? 1 : (frame - 3) / 2; };
    return "FSoE slave " + std::to_string(safe(output_length)) + "/" + std::to_string(safe(input_length)) + " bytes";
}

std::vector<PdoEntry> pdo_entries(uint16_t object, uint16_t frame_length) {
    std::vector<PdoEntry> e;
    uint8_t sub = 1;
    e.push_back({object, sub++, 8, "FSoE command"});
    if (frame_length == 6) {
        e.push_back({object, sub++, 8, "FSoE data"});
        e.push_back({object, sub++, 16, "FSoE CRC"});
    } else {
        for (int block = 0; block < (frame_length - 3) / 4; ++block) {
            e.push_back({object, sub++, 16, "FSoE data"});
            e.push_back({object, sub++, 16, "FSoE CRC"});
        }
    }
    e.push_back({object, sub++, 16, "FSoE connection ID"});
    return e;
}

std::vector<uint8_t> build_sii(const Identity &identity, uint16_t output_length, uint16_t input_length) {
    std::vector<uint8_t> image(128, 0);
    put16(image, 0, kSiiPdiControl);
    put16(image, 8, identity.alias);
    image[14] = sii_checksum(std::span<const uint8_t>(image).first(14));
    put32(image, 16, identity.vendor_id);
    put32(image, 20, identity.product_code);
    put32(image, 24, identity.revision);
    put32(image, 28, identity.serial);
    put16(image, 0x3E * 2, static_cast<uint16_t>(kSiiBytes * 8 / 1024 - 1));  // size in kbit, minus one
    put16(image, 0x3F * 2, 1);                                                // version

    std::vector<uint8_t> strings{8};
    for (const std::string &s :
         {device_name(identity, output_length, input_length), std::string("FSoE"), std::string("FSoE request"),
          std::string("FSoE reply"), std::string("FSoE command"), std::string("FSoE data"), std::string("FSoE CRC"),
          std::string("FSoE connection ID")}) {
        strings.push_back(static_cast<uint8_t>(s.size()));
        strings.insert(strings.end(), s.begin(), s.end());
    }
    category(image, kCatStrings, strings);

    std::vector<uint8_t> general(32, 0);
    general[0] = Group;
    general[2] = Name;  // order number
    general[3] = Name;
    general[14] = Group;
    general[16] = 0x11;  // ports 0 and 1: MII
    category(image, kCatGeneral, general);

    category(image, kCatFmmu, {0x01, 0x02});  // FMMU0 outputs, FMMU1 inputs

    std::vector<uint8_t> syncm;
    add16(syncm, kOutputsAddress);
    add16(syncm, output_length);
    syncm.insert(syncm.end(), {kOutputsControl, 0x00, 0x01, 0x03});  // enabled, process-data outputs
    add16(syncm, kInputsAddress);
    add16(syncm, input_length);
    syncm.insert(syncm.end(), {kInputsControl, 0x00, 0x01, 0x04});  // enabled, process-data inputs
    category(image, kCatSyncM, syncm);

    category(image, kCatTxPdo, pdo(kTxPdoIndex, 1, Reply, kInputsObject, input_length));
    category(image, kCatRxPdo, pdo(kRxPdoIndex, 0, Request, kOutputsObject, output_length));
    add16(image, 0xFFFF);
    image.resize(std::max(image.size(), kSiiBytes), 0xFF);
    return image;
}

}  // namespace kestrel::ecat
