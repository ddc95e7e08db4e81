// Hardening: the trace cannot make a noexcept CRC function throw, a host's
// sinks survive a library that installs its own, the value cells stay whole
// under concurrent writers and readers, and frame decoding of huge buffers
// reports the length rule.
#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "kestrel/common/error.hpp"
#include "kestrel/common/trace.hpp"
#include "kestrel/data/dictionary.hpp"
#include "kestrel/frame/frame.hpp"
#include "kestrel/handler/watchdog.hpp"

namespace kestrel {
namespace {

std::atomic<int> g_sink_calls{0};
void throwing_sink(std::string_view) {
    ++g_sink_calls;
    throw std::bad_alloc();
}
void host_trace_sink(std::string_view) { ++g_sink_calls; }
void library_trace_sink(std::string_view) {}
void host_log_sink(std::string_view, std::exception_ptr) {}
void library_log_sink(std::string_view, std::exception_ptr) {}

class TraceOn : public testing::Test {
protected:
    void SetUp() override {
        g_sink_calls = 0;
        trace::set_enabled(true);
    }
    void TearDown() override {
        trace::set_enabled(false);
        trace::set_sink(nullptr);
    }
};

// The CRC functions promise not to throw: a sink failing like an allocation
// would is swallowed (std::terminate otherwise), and the results stand.
TEST_F(TraceOn, FailingSinkDoesNotEscapeTheCrcFunctions) {
    trace::set_sink(&throwing_sink);
    FSOEFrame frame(7);
    frame.control.set_command(FSOECommand::FAILSAFE_DATA);
    frame.generate_crcs();
    EXPECT_TRUE(frame.check_crcs());
    frame.crcs.set(0, static_cast<uint16_t>(frame.crcs.get(0) ^ 1));
    EXPECT_FALSE(frame.check_crcs());
    frame.generate_crcs_cyclic(frame.crcs.get(0));
    EXPECT_TRUE(frame.check_crcs());
    trace::log_transition("DATA_OK1");
    EXPECT_GE(g_sink_calls.load(), 5);  // the sink was really called each time
}

TEST_F(TraceOn, HostSinkIsKeptUnlessTheHostAsksOtherwise) {
    trace::set_sink(&host_trace_sink);
    EXPECT_FALSE(trace::set_sink_if_default(&library_trace_sink));
    trace::log_transition("RESET_OK");
    EXPECT_EQ(g_sink_calls.load(), 1);
    // A host that gives its sink up (null: the default) lets a library install one.
    trace::set_sink(nullptr);
    EXPECT_TRUE(trace::set_sink_if_default(&host_trace_sink));
    trace::log_transition("RESET_OK");
    EXPECT_EQ(g_sink_calls.load(), 2);
}

TEST(WatchdogLogSink, HostSinkIsKeptUnlessTheHostAsksOtherwise) {
    set_watchdog_log_sink(&host_log_sink);
    EXPECT_FALSE(set_watchdog_log_sink_if_default(&library_log_sink));
    set_watchdog_log_sink(nullptr);
    EXPECT_TRUE(set_watchdog_log_sink_if_default(&library_log_sink));
    EXPECT_FALSE(set_watchdog_log_sink_if_default(&host_log_sink));
    set_watchdog_log_sink(nullptr);
}

// Buffers of 65536 words and more are refused by the length rule, not by the
// word count's overflow.
TEST(FrameDecoding, HugeBuffersAreRefusedByTheLengthRule) {
    for (size_t n : {36u, 131070u, 131072u, 200000u}) {
        std::vector<uint8_t> bytes(n);
        FSOEFrame frame(7);
        try {
            frame.frame_from_array(bytes);
            ADD_FAILURE() << n << " bytes decoded";
        } catch (const Error &e) {
            EXPECT_EQ(e.kind(), ErrorKind::Value) << n;
            EXPECT_NE(std::string(e.what()).find("exceeds the maximum of 35 bytes"), std::string::npos) << e.what();
        }
        EXPECT_EQ(frame.safe_data_size_bytes(), 2);
    }
}

// 5 bytes round up to the word count of a 6-byte frame: they must be refused,
// not decoded with a zero for the missing connection id byte.
TEST(FrameDecoding, TruncatedFrameIsRefused) {
    const std::vector<uint8_t> five = {0x2A, 0xD0, 0x2A, 0x00, 0x00};
    FSOEFrame frame(7);
    try {
        frame.frame_from_array(five);
        ADD_FAILURE() << "5 bytes decoded";
    } catch (const Error &e) {
        EXPECT_EQ(e.kind(), ErrorKind::Value);
    }
    EXPECT_EQ(frame.safe_data_size_bytes(), 2);
    for (size_t n : {3u, 4u, 6u, 7u, 8u, 11u, 12u, 35u}) {  // whole frames, or one trailing byte
        std::vector<uint8_t> bytes(n);
        EXPECT_NO_THROW(frame.frame_from_array(bytes)) << n;
    }
}

// Two writers store pairs (v, ~v) folded into one 64-bit value of each kind
// while readers check every value they load is one a writer stored whole.
// Under ThreadSanitizer this is a real check of the cell's ordering.
TEST(ValueCellThreads, ReadersNeverSeeHalfAValueAndWritersAreNotStarved) {
    ValueCell cell(DataType::UINT32, Value{int64_t{0}});
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> torn{0}, reads{0};
    auto writer = [&](int64_t base) {
        for (int64_t i = 0; i < 20000; ++i) {
            const int64_t v = base + i;
            if (i % 3 == 0)
                cell.store(DataType::UINT32, Value{static_cast<double>(v)});
            else
                cell.store(DataType::UINT32, Value{v});
        }
    };
    auto reader = [&] {
        while (!stop.load(std::memory_order_relaxed)) {
            const Value v = cell.load();
            uint32_t raw = 0;
            const bool valid = cell.load_raw(raw);
            // Every stored value is an integer below 2^32 (as int or exact double).
            if (const auto *d = std::get_if<double>(&v)) {
                if (*d != static_cast<double>(static_cast<int64_t>(*d))) ++torn;
            } else if (const auto *i = std::get_if<int64_t>(&v)) {
                if (*i < 0 || *i > 2'000'000) ++torn;  // a double's bits read as an int
            } else {
                ++torn;  // no writer stores a bool
            }
            const bool in_range = raw < 20000 || (raw >= 1'000'000 && raw < 1'020'000);
            if (valid && !in_range) ++torn;
            ++reads;
        }
    };
    std::thread r1(reader), r2(reader);
    std::thread w1(writer, 0), w2(writer, 1'000'000);
    w1.join();
    w2.join();
    stop = true;
    r1.join();
    r2.join();
    EXPECT_EQ(torn.load(), 0u);
    EXPECT_GT(reads.load(), 0u);
    const Value last = cell.load();
    uint32_t raw = 0;
    if (cell.load_raw(raw)) {
        EXPECT_TRUE(values_same(unserialize_value(DataType::UINT32, raw), last));
    }
}

}  // namespace
}  // namespace kestrel
