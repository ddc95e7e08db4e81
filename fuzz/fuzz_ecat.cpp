// The virtual EtherCAT segment's frame processing: raw frames, frames of
// datagrams with fuzzed commands, addresses, lengths and data, and process-data
// frames once the devices are in OP. A frame is either answered at its own
// length or left exactly as it was; no device memory is touched by a frame
// that is not answered.
#include <array>
#include <memory>
#include <vector>

#include "fuzz_common.hpp"
#include "kestrel/ecat/segment.hpp"

namespace {

using namespace kestrel;
using namespace kestrel::ecat;

std::vector<uint8_t> frame_of(const std::vector<std::vector<uint8_t>> &datagrams) {
    std::vector<uint8_t> f{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x01, 0x01, 0x01, 0x01, 0x01, 0x88, 0xA4, 0, 0};
    for (size_t i = 0; i < datagrams.size(); ++i) {
        std::vector<uint8_t> d = datagrams[i];
        if (i + 1 < datagrams.size()) d[7] |= 0x80;
        f.insert(f.end(), d.begin(), d.end());
    }
    const size_t length = f.size() - 16;
    f[14] = static_cast<uint8_t>(length);
    f[15] = static_cast<uint8_t>(0x10 | ((length >> 8) & 0x07));
    return f;
}

std::vector<uint8_t> datagram(uint8_t command, uint16_t adp, uint16_t ado, const std::vector<uint8_t> &data) {
    std::vector<uint8_t> d{command,
                           0,
                           static_cast<uint8_t>(adp),
                           static_cast<uint8_t>(adp >> 8),
                           static_cast<uint8_t>(ado),
                           static_cast<uint8_t>(ado >> 8),
                           static_cast<uint8_t>(data.size()),
                           static_cast<uint8_t>((data.size() >> 8) & 0x07),
                           0,
                           0};
    d.insert(d.end(), data.begin(), data.end());
    d.insert(d.end(), {0, 0});
    return d;
}

std::vector<uint8_t> le(uint32_t v, size_t n) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(v >> (8 * i));
    return b;
}

struct Rig {
    Rig(uint16_t out0, uint16_t in0, uint16_t out1, uint16_t in1) : segment([this] { return now; }) {
        for (auto [out, in] : {std::pair{out0, in0}, std::pair{out1, in1}}) {
            sim::SlaveConfig c;
            c.slave_address = static_cast<uint16_t>(sims.size() + 1);
            c.output_size = out;
            c.input_size = in;
            c.manual_clock = true;
            c.seed = 1;
            sims.push_back(std::make_unique<sim::SlaveSimulator>(c));
            segment.add_device(*sims.back());
        }
    }
    void send(std::vector<uint8_t> f) { segment.process(f); }
    // Addresses, sync managers, FMMUs and OP, as a master configures them.
    uint32_t to_op() {
        uint32_t logical = 0;
        for (size_t i = 0; i < sims.size(); ++i) {
            const auto station = static_cast<uint16_t>(0x1001 + i);
            send(frame_of(
                {datagram(2, static_cast<uint16_t>(-static_cast<int>(i)), reg::STATION_ADDRESS, le(station, 2))}));
            const Device &d = segment.device(i);
            std::vector<uint8_t> sms = le(kOutputsAddress | (uint32_t{d.output_length()} << 16), 4);
            sms.insert(sms.end(), {kOutputsControl, 0, 1, 0});
            for (auto b : le(kInputsAddress | (uint32_t{d.input_length()} << 16), 4)) sms.push_back(b);
            sms.insert(sms.end(), {kInputsControl, 0, 1, 0});
            std::vector<uint8_t> fmmus;
            for (auto [len, physical, type] : {std::tuple{d.output_length(), kOutputsAddress, uint8_t{2}},
                                               std::tuple{d.input_length(), kInputsAddress, uint8_t{1}}}) {
                for (auto b : le(logical, 4)) fmmus.push_back(b);
                for (auto b : le(len, 2)) fmmus.push_back(b);
                fmmus.insert(fmmus.end(), {0, 7});
                for (auto b : le(physical, 2)) fmmus.push_back(b);
                fmmus.insert(fmmus.end(), {0, type, 1, 0, 0, 0});
                logical += len;
            }
            send(frame_of({datagram(5, station, reg::SM0, sms), datagram(5, station, reg::FMMU0, fmmus)}));
            for (uint8_t state : {0x02, 0x04, 0x08})
                send(frame_of({datagram(5, station, reg::AL_CONTROL, {state, 0})}));
        }
        return logical;
    }
    uint64_t now = 0;
    std::vector<std::unique_ptr<sim::SlaveSimulator>> sims;
    Segment segment;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    fuzz::Provider in(data, size);
    const auto pick = [&in] { return fuzz::kSizes[in.ConsumeIntegralInRange<int>(0, 3)]; };
    Rig rig(pick(), pick(), pick(), pick());
    const uint32_t image = in.ConsumeBool() ? rig.to_op() : 0;
    while (in.remaining_bytes() > 0) {
        std::vector<uint8_t> frame;
        switch (in.ConsumeIntegralInRange<int>(0, 3)) {
            case 0:  // raw bytes
                frame = in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 1600));
                break;
            case 1: {  // datagrams of any command, address and length
                std::vector<std::vector<uint8_t>> datagrams;
                const int n = in.ConsumeIntegralInRange<int>(1, 4);
                for (int i = 0; i < n; ++i) {
                    const auto command = in.ConsumeIntegral<uint8_t>();
                    const auto adp = in.ConsumeIntegral<uint16_t>();
                    const auto ado = in.ConsumeIntegral<uint16_t>();
                    datagrams.push_back(datagram(command, adp, ado,
                                                 in.ConsumeBytes<uint8_t>(in.ConsumeIntegralInRange<size_t>(0, 300))));
                }
                frame = frame_of(datagrams);
                if (in.ConsumeBool() && !frame.empty())  // one byte changed: lengths, flags
                    frame[in.ConsumeIntegralInRange<size_t>(0, frame.size() - 1)] ^= in.ConsumeIntegral<uint8_t>();
                break;
            }
            case 2:  // process data with fuzzed contents
                frame = frame_of(
                    {datagram(12, 0, 0, in.ConsumeBytes<uint8_t>(image ? image : in.ConsumeIntegral<uint8_t>()))});
                break;
            default:
                rig.now += in.ConsumeIntegralInRange<uint64_t>(0, 200'000'000);
                rig.segment.tick();
                continue;
        }
        const auto before = frame;
        std::array<std::array<uint8_t, kMemorySize>, 2> memories{};
        for (size_t i = 0; i < 2; ++i)
            std::copy(rig.segment.device(i).memory().begin(), rig.segment.device(i).memory().end(),
                      memories[i].begin());
        const FrameResult result = rig.segment.process(frame);
        fuzz::check(frame.size() == before.size(), "a frame keeps its length");
        if (result != FrameResult::Forwarded) {
            fuzz::check(frame == before, "a frame not answered is left as it was");
            for (size_t i = 0; i < 2; ++i)
                fuzz::check(std::equal(memories[i].begin(), memories[i].end(), rig.segment.device(i).memory().begin()),
                            "a frame not answered touches no device");
        }
        for (size_t i = 0; i < 2; ++i) {
            const auto reply = rig.sims[i]->reply();
            fuzz::check(reply.empty() || reply.size() == rig.segment.device(i).input_length(), "reply length");
        }
    }
    return 0;
}
