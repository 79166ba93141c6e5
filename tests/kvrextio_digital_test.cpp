// kvrextio digital lines: eight inputs on DINL, eight outputs on DOUTL with the shadow doutlow.
#include <climits>

#include "dll_fixture.h"

namespace kvrtest {
namespace {

using bench::KvrSupBoard;

constexpr uint16_t DOUTL = 0x303, DINL = 0x304;

class KvrextioDigital : public ::testing::Test {
protected:
    void SetUp() override
    {
        dll = load_kvrextio(board);
        dll.take_trace();
    }
    // rsb of every line, as the byte it should match.
    uint8_t readback()
    {
        uint8_t b = 0;
        for (int ch = 0; ch < 8; ++ch) {
            const int level = dll.call("rsb", {bench::i32(ch)}).i32();
            EXPECT_TRUE(level == 0 || level == 1) << "rsb(" << ch << ") = " << level;
            if (level == 1) b |= static_cast<uint8_t>(1u << ch);
        }
        return b;
    }
    std::shared_ptr<KvrSupBoard> board = std::make_shared<KvrSupBoard>();
    LoadedDll dll;
};

// One read of DINL per call, no wait; the channel picks the bit.
TEST_F(KvrextioDigital, EbReadsOneBitOfOneDinlRead)
{
    for (uint8_t din : {0x01, 0x80, 0xA5, 0x5A}) {
        board->set_din(din);
        for (int ch = 0; ch < 8; ++ch) {
            SCOPED_TRACE(testing::Message() << "eb(" << ch << ") with DINL 0x" << std::hex << int{din});
            EXPECT_EQ(dll.call("eb", {bench::i32(ch)}).i32(), din >> ch & 1);
            EXPECT_EQ(accesses(dll.take_trace()), (std::vector<Access>{in(DINL, din)}));
        }
    }
}

// Only state 1 sets a line; every other state clears it (2 is no query on this board). Each call
// writes the whole shadow, the other lines kept, and answers 100 x channel + state, wrapping in 32
// bits.
TEST_F(KvrextioDigital, SbSetsOrClearsOneLineAndAnswersChannelAndState)
{
    EXPECT_EQ(readback(), 0x00) << "all outputs off after load";
    const struct {
        int ch, state;
        uint8_t written;
        int result;
    } steps[] = {
        {3, 1, 0x08, 301},
        {3, 0, 0x00, 300},
        {0, 1, 0x01, 1},
        {7, 1, 0x81, 701},
        {7, 0, 0x01, 700},
        {7, 0, 0x01, 700},                         // already off: written again
        {3, 1, 0x09, 301},
        {3, 1, 0x09, 301},                         // already on: written again
        {3, 2, 0x01, 302},
        {3, 1, 0x09, 301},
        {3, -1, 0x01, 299},
        {7, 1, 0x81, 701},
        {7, INT_MAX, 0x01, -2147482949},           // 700 + 2^31 - 1 wraps
        {5, 1, 0x21, 501},
        {5, INT_MIN, 0x01, 500 + INT_MIN},
        {6, 1, 0x41, 601},
        {6, 257, 0x01, 857},                       // only the whole number 1 sets
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(testing::Message() << "sb(" << s.ch << ", " << s.state << ")");
        EXPECT_EQ(dll.call("sb", {bench::i32(s.ch), bench::i32(s.state)}).i32(), s.result);
        EXPECT_EQ(accesses(dll.take_trace()), (std::vector<Access>{out(DOUTL, s.written)}));
        EXPECT_EQ(readback(), s.written);
        EXPECT_TRUE(dll.take_trace().empty()) << "rsb touches no port";
    }
}

// A bad channel answers -777 and has no side effect: no port access, no shadow change.
TEST_F(KvrextioDigital, InvalidChannelsHaveNoSideEffect)
{
    dll.call("sb", {bench::i32(2), bench::i32(1)});
    dll.take_trace();
    for (int ch : {8, -1, 100, 256 + 2, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(ch);
        for (int state : {0, 1, 2}) {
            EXPECT_EQ(dll.call("sb", {bench::i32(ch), bench::i32(state)}).i32(), -777);
        }
        EXPECT_EQ(dll.call("eb", {bench::i32(ch)}).i32(), -777);
        EXPECT_EQ(dll.call("rsb", {bench::i32(ch)}).i32(), -777);
        EXPECT_TRUE(dll.take_trace().empty());
    }
    EXPECT_EQ(readback(), 0x04);
}

}  // namespace
}  // namespace kvrtest
