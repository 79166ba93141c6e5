// kvrio digital lines: one read of DINL/DINH per input call, whole-byte writes of the output shadows,
// the query state, and invalid channels that touch nothing.
#include <climits>
#include <optional>

#include "dll_fixture.h"

namespace kvrtest {
namespace {

using bench::KvrBoard;

class KvrioDigital : public ::testing::Test {
protected:
    void SetUp() override
    {
        dll = load_kvrio(board);
        dll.take_trace();
    }

    // The two output registers hold `low` and `high`, and rsb reports the same 16 levels without
    // touching the board.
    void expect_outputs(uint8_t low, uint8_t high)
    {
        EXPECT_EQ(board->dout(0), std::optional<uint8_t>(low));
        EXPECT_EQ(board->dout(1), std::optional<uint8_t>(high));
        const unsigned levels = low | high << 8;
        for (int c = 0; c < 16; ++c)
            EXPECT_EQ(dll.call("rsb", {bench::i32(c)}).i32(), static_cast<int>(levels >> c & 1)) << "rsb(" << c << ")";
        EXPECT_TRUE(dll.take_trace().empty()) << "rsb touched the board";
    }

    std::shared_ptr<KvrBoard> board = std::make_shared<KvrBoard>();
    LoadedDll dll;
};

uint16_t register_of(int channel) { return channel < 8 ? KvrBoard::DOUTL : KvrBoard::DOUTH; }

TEST_F(KvrioDigital, EveryOutputIsOffRightAfterLoad)
{
    expect_outputs(0, 0);
    for (int c = 0; c < 16; ++c) {
        SCOPED_TRACE(c);
        EXPECT_EQ(dll.call("sb", {bench::i32(c), bench::i32(2)}).i32(), 0);
        EXPECT_EQ(accesses(dll.take_trace()), (std::vector<Access>{out(register_of(c), 0)}));
    }
    expect_outputs(0, 0);
}

// One sequence of sb calls from the all-off state: the result, the one byte written (always the whole
// shadow of the line's own half), and both registers and all sixteen read-backs after each call.
TEST_F(KvrioDigital, SbChangesOneBitAndWritesTheWholeByteOfItsOwnHalf)
{
    struct Step {
        int channel, state, result;
        uint8_t written;  // to the channel's own register
        uint8_t low, high;
    };
    const Step steps[] = {
        {0, 1, 1, 0x01, 0x01, 0x00},    // setting one output keeps the others
        {7, 1, 1, 0x81, 0x81, 0x00},
        {7, 0, 0, 0x01, 0x01, 0x00},
        {3, 1, 1, 0x09, 0x09, 0x00},
        {3, 1, 1, 0x09, 0x09, 0x00},    // setting a set line again
        {11, 1, 1, 0x08, 0x09, 0x08},   // high half: nothing to DOUTL, output 3 unaffected
        {8, 1, 1, 0x09, 0x09, 0x09},
        {15, 1, 1, 0x89, 0x09, 0x89},
        {15, 0, 0, 0x09, 0x09, 0x09},
        {3, 2, 1, 0x09, 0x09, 0x09},    // the query: the level, nothing changed, register rewritten
        {4, 2, 0, 0x09, 0x09, 0x09},
        {11, 2, 1, 0x09, 0x09, 0x09},
        {14, 2, 0, 0x09, 0x09, 0x09},
        {3, 5, 5, 0x09, 0x09, 0x09},    // any other state: returned as is, register rewritten unchanged
        {3, -1, -1, 0x09, 0x09, 0x09},
        {4, 3, 3, 0x09, 0x09, 0x09},
        {12, 3, 3, 0x09, 0x09, 0x09},
        {0, 256, 256, 0x09, 0x09, 0x09},  // low byte 0: still not a clear
        {4, 257, 257, 0x09, 0x09, 0x09},  // low byte 1: still not a set
        {10, 258, 258, 0x09, 0x09, 0x09}, // low byte 2: still not a query
        {9, INT_MIN, INT_MIN, 0x09, 0x09, 0x09},
        {9, INT_MAX, INT_MAX, 0x09, 0x09, 0x09},
        {8, 0, 0, 0x08, 0x09, 0x08},
        {0, 0, 0, 0x08, 0x08, 0x08},
        {6, 0, 0, 0x08, 0x08, 0x08},    // clearing a clear line
        {3, 0, 0, 0x00, 0x00, 0x08},
        {11, 0, 0, 0x00, 0x00, 0x00},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(testing::Message() << "sb(" << s.channel << ", " << s.state << ")");
        EXPECT_EQ(dll.call("sb", {bench::i32(s.channel), bench::i32(s.state)}).i32(), s.result);
        EXPECT_EQ(accesses(dll.take_trace()), (std::vector<Access>{out(register_of(s.channel), s.written)}));
        expect_outputs(s.low, s.high);
    }
}

// Each line of each half can be set and cleared on its own.
TEST_F(KvrioDigital, EachLineSetsAndClearsItsOwnBit)
{
    for (int c = 0; c < 16; ++c) {
        SCOPED_TRACE(c);
        const auto bit = static_cast<uint8_t>(1u << (c % 8));
        EXPECT_EQ(dll.call("sb", {bench::i32(c), bench::i32(1)}).i32(), 1);
        EXPECT_EQ(accesses(dll.take_trace()), (std::vector<Access>{out(register_of(c), bit)}));
        expect_outputs(c < 8 ? bit : 0, c < 8 ? 0 : bit);
        EXPECT_EQ(dll.call("sb", {bench::i32(c), bench::i32(2)}).i32(), 1);
        EXPECT_EQ(dll.call("sb", {bench::i32(c), bench::i32(0)}).i32(), 0);
        EXPECT_EQ(accesses(dll.take_trace()), (std::vector<Access>{out(register_of(c), bit), out(register_of(c), 0)}));
        expect_outputs(0, 0);
    }
}

// A channel outside 0..15 returns -777 from every operation, whatever the state, and touches nothing:
// no port read or write, both shadows as they were.
TEST_F(KvrioDigital, InvalidChannelsTouchNothing)
{
    dll.call("sb", {bench::i32(2), bench::i32(1)});
    dll.call("sb", {bench::i32(13), bench::i32(1)});
    board->set_din(0xFF, 0xFF);
    dll.take_trace();
    const int channels[] = {16, -1, 17, 23, 24, -8, -16, 255, 256, 0x10000, INT_MIN, INT_MIN + 8, INT_MAX};
    for (int channel : channels) {
        for (int state : {0, 1, 2, 5, -1}) {
            SCOPED_TRACE(testing::Message() << "sb(" << channel << ", " << state << ")");
            EXPECT_EQ(dll.call("sb", {bench::i32(channel), bench::i32(state)}).i32(), -777);
        }
        SCOPED_TRACE(channel);
        EXPECT_EQ(dll.call("eb", {bench::i32(channel)}).i32(), -777);
        EXPECT_EQ(dll.call("rsb", {bench::i32(channel)}).i32(), -777);
        EXPECT_TRUE(dll.take_trace().empty());
    }
    expect_outputs(0x04, 0x20);
}

// eb reads its input register once per call, never caches, and answers 1 or 0 for bit n of DINL
// (n < 8) or bit n - 8 of DINH. The output shadows play no part.
TEST_F(KvrioDigital, EbReadsItsInputRegisterOncePerCall)
{
    dll.call("sb", {bench::i32(0), bench::i32(1)});
    dll.call("sb", {bench::i32(15), bench::i32(1)});
    dll.take_trace();
    const std::pair<uint8_t, uint8_t> patterns[] = {{0xA5, 0x3C}, {0x5A, 0xC3}, {0x00, 0xFF}, {0xFF, 0x00}};
    for (auto [low, high] : patterns) {
        board->set_din(low, high);
        for (int c = 0; c < 16; ++c) {
            SCOPED_TRACE(testing::Message() << "eb(" << c << ") DINL 0x" << std::hex << int{low} << " DINH 0x"
                                            << int{high});
            const uint8_t byte = c < 8 ? low : high;
            EXPECT_EQ(dll.call("eb", {bench::i32(c)}).i32(), byte >> (c % 8) & 1);
            EXPECT_EQ(accesses(dll.take_trace()),
                      (std::vector<Access>{in(c < 8 ? KvrBoard::DINL : KvrBoard::DINH, byte)}));
        }
    }
    expect_outputs(0x01, 0x80);
}

}  // namespace
}  // namespace kvrtest
