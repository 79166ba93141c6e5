// kvrextio start-up and analog inputs.
#include <bit>
#include <climits>

#include "dll_fixture.h"

namespace kvrtest {
namespace {

using bench::KvrSupBoard;

TEST(KvrextioLoad, WritesZeroToTheOutputsAndOneZeroByteToTheTimer)
{
    auto board = std::make_shared<KvrSupBoard>();
    LoadedDll dll = load_kvrextio(board);
    EXPECT_EQ(accesses(dll.take_trace()),
              (std::vector<Access>{out(0x302, 0), out(0x303, 0), out(0x305, 0), out(0x30C, 0)}));
    EXPECT_EQ(dll.machine->get_tick_count_calls(), 0u);
    EXPECT_LT(dll.machine->total_insns(), 1000u) << "no calibration, no wait loop";
}

class KvrextioAnalogIn : public ::testing::Test {
protected:
    void SetUp() override
    {
        const uint8_t codes[4] = {200, 255, 123, 128};
        for (int i = 0; i < 4; ++i) board->set_code(i, codes[i]);
        dll = load_kvrextio(board);
        dll.take_trace();
    }
    std::shared_ptr<KvrSupBoard> board = std::make_shared<KvrSupBoard>();
    LoadedDll dll;
};

// One select write and one read, no discarded read and no wait; the low byte of the channel selects.
TEST_F(KvrextioAnalogIn, EaSelectsAndReadsOnce)
{
    const struct {
        int channel;
        uint8_t select, code;
    } cases[] = {{0, 4, 200}, {1, 8, 255}, {2, 1, 123}, {3, 2, 128}, {256, 4, 200}, {-256, 4, 200}, {259, 2, 128}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.channel);
        const auto r = dll.call("ea", {bench::i32(c.channel)});
        EXPECT_EQ(r.i32(), c.code);
        EXPECT_EQ(accesses(dll.take_trace()), (std::vector<Access>{out(0x300, c.select), in(0x301, c.code)}));
        EXPECT_LT(r.insns, 40u) << "no wait on this board";
    }
}

TEST_F(KvrextioAnalogIn, InvalidChannelsTouchNoPort)
{
    for (int channel : {4, 255, -1, 256 + 4}) {
        SCOPED_TRACE(channel);
        EXPECT_EQ(dll.call("ea", {bench::i32(channel)}).i32(), -777);
        EXPECT_TRUE(dll.take_trace().empty());
    }
    // ead tests the whole number: 256 is invalid for it although ea reads input 0.
    for (int channel : {4, -1, 256, -256, INT32_MIN}) {
        SCOPED_TRACE(channel);
        EXPECT_EQ(dll.call("ead", {bench::i32(channel)}).f64_bits(), std::bit_cast<uint64_t>(-777.0));
        EXPECT_TRUE(dll.take_trace().empty());
    }
}

// Inputs 0 and 1: code x 2.46 / 255, nearest double. Inputs 2 and 3: (code - 123) x 5 / 128, exact.
TEST_F(KvrextioAnalogIn, EadScalesEachInputOnItsOwnRange)
{
    for (uint16_t cw : {0x037F, 0x027F, 0x007F}) {
        for (int k = 0; k < 256; ++k) {
            for (int ch = 0; ch < 4; ++ch) board->set_code(ch, static_cast<uint8_t>(k));
            const double unipolar = static_cast<double>(static_cast<long double>(k) / 255.0L * 2.46L);
            const double bipolar = (k - 123) * 5.0 / 128.0;
            for (int ch = 0; ch < 4; ++ch) {
                const auto r = dll.call("ead", {bench::i32(ch)}, cw);
                ASSERT_EQ(r.f64_bits(), std::bit_cast<uint64_t>(ch < 2 ? unipolar : bipolar))
                    << "input " << ch << " code " << k << " cw " << std::hex << cw;
            }
        }
    }
    const struct {
        int ch;
        uint8_t code;
        double volts;
    } known[] = {{0, 255, 2.46}, {0, 0, 0.0}, {0, 33, 0.31835294117647056}, {3, 123, 0.0},
                 {3, 128, 0.1953125}, {3, 0, -4.8046875}, {2, 255, 5.15625}};
    for (const auto& c : known) {
        board->set_code(c.ch, c.code);
        EXPECT_EQ(dll.call("ead", {bench::i32(c.ch)}).f64_bits(), std::bit_cast<uint64_t>(c.volts));
    }
    dll.take_trace();
    dll.call("ead", {bench::i32(2)});
    dll.call("ead", {bench::i32(3)});
    EXPECT_EQ(accesses(dll.take_trace()),
              (std::vector<Access>{out(0x300, 1), in(0x301, 255), out(0x300, 2), in(0x301, 0)}));
}

}  // namespace
}  // namespace kvrtest
