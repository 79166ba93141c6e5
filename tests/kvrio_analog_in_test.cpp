// kvrio analog inputs: the conversion sequence on the bus, channel decoding, and volts.
#include <bit>
#include <climits>
#include <cmath>

#include "dll_fixture.h"
#include "kvrio_symbols.h"

namespace kvrtest {
namespace {

using bench::KvrBoard;
constexpr uint8_t kDiscarded = KvrBoard::kUnsettled;  // what the board gives the discarded read

class KvrioAnalogIn : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (int i = 0; i < 8; ++i) board->set_code(i, static_cast<uint8_t>(10 + 31 * i));
        dll = load_kvrio(board);
        dll.take_trace();
    }
    std::shared_ptr<KvrBoard> board = std::make_shared<KvrBoard>();
    LoadedDll dll;
};

struct Input {
    int input;
    uint16_t mux, adc;
    uint8_t select;
};
constexpr Input kInputs[] = {
    {0, 0x300, 0x301, 4}, {1, 0x300, 0x301, 8}, {2, 0x300, 0x301, 1}, {3, 0x300, 0x301, 2},
    {4, 0x310, 0x311, 4}, {5, 0x310, 0x311, 8}, {6, 0x310, 0x311, 1}, {7, 0x310, 0x311, 2},
};

// Select, one discarded read, the settling wait, the read that counts; nothing else, nothing flagged.
TEST_F(KvrioAnalogIn, EachInputIsSelectedDiscardedSettledAndRead)
{
    for (const Input& in_ : kInputs) {
        for (const char* fn : {"ea", "ead"}) {
            SCOPED_TRACE(testing::Message() << fn << "(" << in_.input << ")");
            const uint8_t code = static_cast<uint8_t>(10 + 31 * in_.input);
            const auto r = dll.call(fn, {bench::i32(in_.input)});
            const auto trace = dll.take_trace();
            EXPECT_EQ(accesses(trace), (std::vector<Access>{out(in_.mux, in_.select), in(in_.adc, kDiscarded),
                                                            in(in_.adc, code)}));
            for (const auto& a : trace) EXPECT_FALSE(a.flagged) << a.note;
            if (std::string(fn) == "ea") {
                EXPECT_EQ(r.i32(), code);
            } else {
                EXPECT_EQ(r.f64(), static_cast<double>(static_cast<long double>(code) / 255.0L * 2.46L));
            }
            const uint64_t settle = board->last_settle_ns(in_.input / 4);
            EXPECT_GE(settle, 7000u);
            EXPECT_LE(settle, 7350u);
        }
    }
}

// Only the low byte of the channel selects the input.
TEST_F(KvrioAnalogIn, LowByteOfTheChannelSelects)
{
    const std::pair<int, int> aliases[] = {{256, 0}, {263, 7}, {-256, 0}, {-249, 7}, {0x7FFFFF03, 3}};
    for (auto [channel, input] : aliases) {
        SCOPED_TRACE(channel);
        const Input& in_ = kInputs[input];
        EXPECT_EQ(dll.call("ea", {bench::i32(channel)}).i32(), 10 + 31 * input);
        EXPECT_EQ(accesses(dll.take_trace()),
                  (std::vector<Access>{out(in_.mux, in_.select), in(in_.adc, kDiscarded),
                                       in(in_.adc, static_cast<uint8_t>(10 + 31 * input))}));
    }
}

// An invalid channel touches no port, still spends the settling wait, and gives -777 (ea) or the
// scaled -777 (ead).
TEST_F(KvrioAnalogIn, InvalidChannelTouchesNoPortButWaits)
{
    const uint32_t emptycall = dll.symbol(kvrio_sym::emptycall);
    dll.machine->count_hits(emptycall);
    dll.call("ea", {bench::i32(0)});
    const uint64_t valid_calls = dll.machine->hits(emptycall);
    ASSERT_GT(valid_calls, 0u);
    dll.take_trace();
    for (int channel : {8, 255, -1, 1000, INT32_MAX}) {
        SCOPED_TRACE(channel);
        const uint64_t before = dll.machine->hits(emptycall);
        EXPECT_EQ(dll.call("ea", {bench::i32(channel)}).i32(), -777);
        EXPECT_EQ(dll.call("ead", {bench::i32(channel)}).f64_bits(), std::bit_cast<uint64_t>(-7.495764705882353));
        EXPECT_TRUE(dll.take_trace().empty());
        EXPECT_EQ(dll.machine->hits(emptycall) - before, 2 * valid_calls);
    }
}

TEST_F(KvrioAnalogIn, CodeIsTakenUnsigned)
{
    board->set_code(1, 0xFF);
    EXPECT_EQ(dll.call("ea", {bench::i32(1)}).i32(), 255);
    board->set_code(1, 0x80);
    EXPECT_EQ(dll.call("ea", {bench::i32(1)}).i32(), 128);
}

// The settling wait is 7 us within 5 % at the CPU speeds of interest, on a clock whose tick counter
// costs what a system call does.
TEST(KvrioSettling, WaitIsSevenMicrosecondsAtEverySpeed)
{
    for (uint64_t hz : {33'000'000ull, 400'000'000ull, 3'000'000'000ull}) {
        SCOPED_TRACE(hz);
        auto board = std::make_shared<KvrBoard>();
        bench::ClockConfig clock;
        clock.cpu_hz = hz;
        LoadedDll dll = load_kvrio(board, clock);
        for (int input : {0, 6}) {
            dll.call("ea", {bench::i32(input)});
            const uint64_t settle = board->last_settle_ns(input / 4);
            EXPECT_GE(settle, 7000u);
            EXPECT_LE(settle, 7350u);
        }
    }
}

// The wait inside a conversion is delayus(7): round(7 x loopspermicro) empty calls, whatever the
// clock. (At a few clock rates that falls a few ns short of 7 us, e.g. at 75 MHz, where the
// truncated ticks per microsecond make loopspermicro low; the simulated converter then flags the
// read, which is why this test counts calls rather than reading the converter.)
TEST(KvrioSettling, WaitIsTheCalibratedNumberOfEmptyCalls)
{
    for (uint64_t hz : {33'000'000ull, 75'000'000ull, 400'000'000ull, 3'000'000'000ull}) {
        SCOPED_TRACE(hz);
        bench::ClockConfig clock;
        clock.cpu_hz = hz;
        LoadedDll dll = load_kvrio(std::make_shared<KvrBoard>(), clock);
        const double lpm = dll.machine->peek<double>(dll.symbol(kvrio_sym::loopspermicro));
        const uint32_t emptycall = dll.symbol(kvrio_sym::emptycall);
        dll.machine->count_hits(emptycall);
        dll.call("ea", {bench::i32(3)});
        EXPECT_EQ(dll.machine->hits(emptycall), static_cast<uint64_t>(std::nearbyint(7 * lpm)));
    }
}

// Volts: code x 2.46 / 255 rounded once to the nearest double, whatever precision the host's x87
// runs at. The host's 80-bit long double reproduces the extended-precision procedure.
TEST(KvrioVolts, EveryCodeUnderEveryPrecisionControl)
{
    auto board = std::make_shared<KvrBoard>();
    LoadedDll dll = load_kvrio(board);
    for (uint16_t cw : {0x037F, 0x027F, 0x007F}) {
        for (int k = 0; k < 256; ++k) {
            board->set_code(2, static_cast<uint8_t>(k));
            const double expected = static_cast<double>(static_cast<long double>(k) / 255.0L * 2.46L);
            const auto r = dll.call("ead", {bench::i32(2)}, cw);
            ASSERT_EQ(r.f64_bits(), std::bit_cast<uint64_t>(expected)) << "code " << k << " cw " << std::hex << cw;
        }
        EXPECT_EQ(dll.call("ead", {bench::i32(8)}, cw).f64_bits(), std::bit_cast<uint64_t>(-7.495764705882353));
    }
}

TEST(KvrioVolts, KnownValues)
{
    const std::pair<uint8_t, double> cases[] = {
        {0, 0.0}, {255, 2.46}, {128, 1.2348235294117647}, {33, 0.31835294117647056}};
    auto board = std::make_shared<KvrBoard>();
    LoadedDll dll = load_kvrio(board);
    for (auto [code, volts] : cases) {
        board->set_code(4, code);
        EXPECT_EQ(dll.call("ead", {bench::i32(4)}).f64_bits(), std::bit_cast<uint64_t>(volts)) << int{code};
    }
}

}  // namespace
}  // namespace kvrtest
