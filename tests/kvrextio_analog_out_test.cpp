// kvrextio analog outputs 0 and 1 and the frequency generator (output 2, counter 0 of the 8254).
#include <bit>
#include <climits>
#include <cfloat>
#include <cmath>

#include "dll_fixture.h"

namespace kvrtest {
namespace {

using bench::KvrSupBoard;

constexpr uint16_t DAC0 = 0x302, DAC1 = 0x305, TMR0 = 0x30C, TMRCTL = 0x30F;
constexpr uint16_t kDac[2] = {DAC0, DAC1};

uint64_t bits(double v) { return std::bit_cast<uint64_t>(v); }

constexpr uint64_t kQuietNan = 0x7FF8000000000000, kSignallingNan = 0x7FF0000000000001;
constexpr uint64_t kNegativeNan = 0xFFF8000000000123;

// The host's x87 control word must play no part: 64-, 53- and 24-bit precision, the four rounding
// modes, and a Pascal-style word with invalid, zero-divide and overflow exceptions unmasked (the
// fixture fails the call if an exception flag comes up).
constexpr uint16_t kControlWords[] = {0x037F, 0x027F, 0x007F, 0x077F, 0x0B7F, 0x0F7F, 0x1332};

class KvrextioAnalogOut : public ::testing::Test {
protected:
    void SetUp() override
    {
        dll = load_kvrextio(board);
        dll.take_trace();
    }
    std::shared_ptr<KvrSupBoard> board = std::make_shared<KvrSupBoard>();
    LoadedDll dll;
};

TEST_F(KvrextioAnalogOut, ReadBacksStartAtZero)
{
    for (int ch = 0; ch < 3; ++ch) {
        EXPECT_EQ(dll.call("rsa", {bench::i32(ch)}).i32(), 0);
        EXPECT_EQ(dll.call("rsad", {bench::i32(ch)}).f64_bits(), bits(0.0)) << "+0.0, not -0.0";
    }
    EXPECT_TRUE(dll.take_trace().empty());
}

// sa writes the low byte of any code, stores and returns the code unchanged.
TEST_F(KvrextioAnalogOut, SaWritesTheLowByteOfTheCode)
{
    const struct {
        int ch, code;
        uint8_t byte;
    } cases[] = {{0, 300, 44}, {1, -1, 255}, {0, 128, 128}, {1, 0, 0}, {0, INT_MIN + 7, 7}, {1, INT_MAX, 255}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "sa(" << c.ch << ", " << c.code << ")");
        EXPECT_EQ(dll.call("sa", {bench::i32(c.ch), bench::i32(c.code)}).i32(), c.code);
        EXPECT_EQ(accesses(dll.take_trace()), (std::vector<Access>{out(kDac[c.ch], c.byte)}));
        EXPECT_EQ(board->dac(c.ch), c.byte);
        EXPECT_EQ(dll.call("rsa", {bench::i32(c.ch)}).i32(), c.code);
    }
}

// Output 0: round(255 x / 10); output 1: round((x + 5) x 255 / 10); ties to even, rounded once from
// the exact value, then the low byte. The volts are stored and returned exactly as passed.
TEST_F(KvrextioAnalogOut, SadWritesTheRoundedCodeUnderAnyControlWord)
{
    const struct {
        int ch;
        double volts;
        uint8_t byte;
    } cases[] = {
        {0, 10.0, 255}, {0, 5.0, 128}, {0, 0.0, 0}, {0, -0.0, 0},
        {0, 3.0, 76},                          // 76.5, tie to even
        {0, std::nextafter(3.0, 4.0), 77},     // just above the tie
        {0, std::nextafter(3.0, 0.0), 76},     // just below it
        {0, 10.5, 12},                         // code 268, not clamped
        {0, -0.1, 253},                        // code -3
        {0, 1e15, static_cast<uint8_t>(25'500'000'000'000'000LL)},         // code beyond 32 bits
        {0, -1e15, static_cast<uint8_t>(-25'500'000'000'000'000LL)},
        {0, 360000000000000064.0, static_cast<uint8_t>(9'180'000'000'000'001'632LL)},  // just below 2^63
        {1, -5.0, 0}, {1, 0.0, 128}, {1, 5.0, 255},
        {1, 2.0, 178},                         // 178.5, tie to even
        {1, std::nextafter(2.0, 3.0), 179},
        {1, -0x1p-60, 127},                    // 127.5 minus a little: x + 5 is not rounded to 5 first
        {1, 5e-324, 128},                      // the smallest subnormal
        {1, 1e15, static_cast<uint8_t>(25'500'000'000'000'128LL)},  // ...127.5 ties to even beyond 2^53
    };
    for (uint16_t cw : kControlWords) {
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << "sad(" << c.ch << ", " << c.volts << ") cw 0x" << std::hex << cw);
            EXPECT_EQ(dll.call("sad", {bench::i32(c.ch), bench::f64(c.volts)}, cw).f64_bits(), bits(c.volts));
            EXPECT_EQ(accesses(dll.take_trace()), (std::vector<Access>{out(kDac[c.ch], c.byte)}));
            EXPECT_EQ(dll.call("rsad", {bench::i32(c.ch)}, cw).f64_bits(), bits(c.volts));
        }
    }
}

// A value whose code is no 64-bit integer writes 0x00: the x87 integer indefinite that a conversion
// with masked exceptions gives (0x8000000000000000) has that low byte. No fault, no exception flag,
// even with the invalid-operation exception unmasked; the value is stored and returned bit for bit.
TEST_F(KvrextioAnalogOut, SadWritesZeroForValuesWithoutACode)
{
    const uint64_t values[] = {bits(INFINITY), bits(-INFINITY), kQuietNan, kSignallingNan, kNegativeNan,
                               bits(1e300), bits(-1e300), bits(3.7e17), bits(-3.7e17), bits(DBL_MAX)};
    for (uint16_t cw : kControlWords) {
        for (int ch = 0; ch < 2; ++ch) {
            for (uint64_t v : values) {
                SCOPED_TRACE(testing::Message() << std::hex << "sad(" << ch << ", 0x" << v << ") cw 0x" << cw);
                // A nonzero byte first, so that the zero is seen to be written.
                dll.call("sa", {bench::i32(ch), bench::i32(0x5A)});
                dll.take_trace();
                EXPECT_EQ(dll.call("sad", {bench::i32(ch), bench::f64_bits(v)}, cw).f64_bits(), v);
                EXPECT_EQ(accesses(dll.take_trace()), (std::vector<Access>{out(kDac[ch], 0x00)}));
                EXPECT_EQ(dll.call("rsad", {bench::i32(ch)}, cw).f64_bits(), v);
            }
        }
    }
}

// sad programs counter 0 (0x36: counter 0, low then high byte, mode 3, binary) and loads
// round(8300 / f), ties to even, with f = x from 1 kHz up and 1 kHz below it or for a NaN. The
// raised frequency is stored and returned. The board then generates 8300 kHz / count, a count of
// 0 meaning 65536.
TEST_F(KvrextioAnalogOut, SadProgramsTheFrequencyGenerator)
{
    const struct {
        uint64_t khz;
        uint32_t count;
        uint64_t returned;
    } cases[] = {
        {bits(8.0), 1038, bits(8.0)},        // 1037.5, tie to even
        {bits(664.0), 12, bits(664.0)},      // 12.5
        {bits(3320.0), 2, bits(3320.0)},     // 2.5
        {bits(1.0), 8300, bits(1.0)},
        {bits(8300.0), 1, bits(8300.0)},
        {bits(16599.0), 1, bits(16599.0)},
        {bits(16600.0), 0, bits(16600.0)},   // 0.5, tie to even: the slowest setting
        {bits(INFINITY), 0, bits(INFINITY)},
        {bits(0.5), 8300, bits(1.0)},
        {bits(std::nextafter(1.0, 0.0)), 8300, bits(1.0)},
        {bits(0.0), 8300, bits(1.0)},
        {bits(-0.0), 8300, bits(1.0)},
        {bits(-8.0), 8300, bits(1.0)},
        {bits(-INFINITY), 8300, bits(1.0)},
        {kQuietNan, 8300, bits(1.0)},
        {kSignallingNan, 8300, bits(1.0)},
        {kNegativeNan, 8300, bits(1.0)},
    };
    for (uint16_t cw : kControlWords) {
        for (const auto& c : cases) {
            SCOPED_TRACE(testing::Message() << std::hex << "sad(2, 0x" << c.khz << ") cw 0x" << cw);
            EXPECT_EQ(dll.call("sad", {bench::i32(2), bench::f64_bits(c.khz)}, cw).f64_bits(), c.returned);
            EXPECT_EQ(accesses(dll.take_trace()),
                      (std::vector<Access>{out(TMRCTL, 0x36), out(TMR0, c.count & 0xFF), out(TMR0, c.count >> 8)}));
            EXPECT_EQ(dll.call("rsad", {bench::i32(2)}, cw).f64_bits(), c.returned);
            const KvrSupBoard::Timer& t = board->timer();
            EXPECT_EQ(t.mode, 3);
            EXPECT_EQ(t.rw, 3);
            EXPECT_FALSE(t.bcd);
            EXPECT_EQ(t.count, c.count);
            EXPECT_EQ(board->frequency_khz(), 8300.0 / (c.count ? c.count : 65536));
        }
    }
}

// sa sends only the latch command 0x00, which keeps the mode and byte order that sad programmed,
// then the count 8300 div f, truncated, f = v raised to 1. It stores f and returns v.
TEST_F(KvrextioAnalogOut, SaLoadsATruncatedCountAfterTheLatchCommand)
{
    dll.call("sad", {bench::i32(2), bench::f64(8.0)});
    dll.take_trace();
    const struct {
        int khz;
        uint32_t count;
        int stored;
    } cases[] = {
        {8, 1037, 8}, {3320, 2, 3320}, {8300, 1, 8300}, {8301, 0, 8301}, {INT_MAX, 0, INT_MAX},
        {1, 8300, 1}, {0, 8300, 1}, {-5, 8300, 1}, {INT_MIN, 8300, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "sa(2, " << c.khz << ")");
        EXPECT_EQ(dll.call("sa", {bench::i32(2), bench::i32(c.khz)}).i32(), c.khz);
        EXPECT_EQ(accesses(dll.take_trace()),
                  (std::vector<Access>{out(TMRCTL, 0x00), out(TMR0, c.count & 0xFF), out(TMR0, c.count >> 8)}));
        EXPECT_EQ(dll.call("rsa", {bench::i32(2)}).i32(), c.stored);
        EXPECT_EQ(board->timer().mode, 3) << "the latch command leaves the mode";
        EXPECT_EQ(board->timer().count, c.count);
        EXPECT_EQ(board->frequency_khz(), 8300.0 / (c.count ? c.count : 65536));
    }
}

// sa never changes what rsad reports and sad never what rsa reports, on every output.
// The other families reach the frequency generator through sad: 8 kHz is the count 1038 (1037.5
// rounded to even) after the control word 0x36, whichever way the host passes the channel and value.
TEST_F(KvrextioAnalogOut, EveryFamilyReachesTheFrequencyGenerator)
{
    const uint32_t p = dll.machine->alloc(8);
    dll.machine->poke(p, 8.0);
    const std::vector<Access> eight_khz = {out(TMRCTL, 0x36), out(TMR0, 0x0E), out(TMR0, 0x04)};
    const struct {
        const char* name;
        std::vector<bench::Arg> args;
    } calls[] = {
        {"sad", {bench::i32(2), bench::f64(8.0)}},
        {"stdsad", {bench::i32(2), bench::f64(8.0)}},
        {"sadouble", {bench::f64(2.0), bench::f64(8.0)}},
        {"stdsadouble", {bench::f64(2.0), bench::f64(8.0)}},
        {"sadouble", {bench::f64(2.4), bench::f64(8.0)}},   // channel 2.4 rounds to 2
        {"stdsas", {bench::i32(2), bench::f32(8.0f)}},
        {"psad", {bench::i32(2), bench::ptr(p)}},
    };
    for (const auto& c : calls) {
        SCOPED_TRACE(c.name);
        const auto r = dll.call(c.name, c.args);
        EXPECT_EQ(accesses(dll.take_trace()), eight_khz);
        ASSERT_TRUE(board->frequency_khz().has_value());
        EXPECT_DOUBLE_EQ(*board->frequency_khz(), 8300.0 / 1038);
        const std::string name = c.name;
        if (name == "stdsas") EXPECT_EQ(r.f32(), 8.0f);
        else if (name == "psad") EXPECT_EQ(dll.machine->peek<double>(r.eax), 8.0);
        else EXPECT_EQ(r.f64(), 8.0);
        EXPECT_EQ(dll.call("rsadouble", {bench::f64(2.0)}).f64(), 8.0);
    }
    EXPECT_EQ(dll.machine->peek<double>(p), 8.0) << "psad must not write the value it reads";
}

TEST(KvrextioAnalogOutShadows, AreIndependent)
{
    for (int ch = 0; ch < 3; ++ch) {
        SCOPED_TRACE(ch);
        {
            LoadedDll dll = load_kvrextio(std::make_shared<KvrSupBoard>());
            dll.call("sad", {bench::i32(ch), bench::f64(5.0)});
            EXPECT_EQ(dll.call("rsa", {bench::i32(ch)}).i32(), 0);
        }
        {
            LoadedDll dll = load_kvrextio(std::make_shared<KvrSupBoard>());
            dll.call("sa", {bench::i32(ch), bench::i32(128)});
            EXPECT_EQ(dll.call("rsad", {bench::i32(ch)}).f64_bits(), bits(0.0));
        }
    }
    LoadedDll dll = load_kvrextio(std::make_shared<KvrSupBoard>());
    for (int ch = 0; ch < 3; ++ch) {
        dll.call("sa", {bench::i32(ch), bench::i32(10 + ch)});
        dll.call("sad", {bench::i32(ch), bench::f64(2.5 + ch)});
    }
    for (int ch = 0; ch < 3; ++ch) {
        EXPECT_EQ(dll.call("rsa", {bench::i32(ch)}).i32(), 10 + ch);
        EXPECT_EQ(dll.call("rsad", {bench::i32(ch)}).f64(), 2.5 + ch);
    }
}

// A bad channel answers errvalue and touches neither a port nor a shadow.
TEST_F(KvrextioAnalogOut, InvalidChannelsHaveNoSideEffect)
{
    for (int ch = 0; ch < 3; ++ch) {
        dll.call("sa", {bench::i32(ch), bench::i32(20 + ch)});
        dll.call("sad", {bench::i32(ch), bench::f64(4.0 + ch)});
    }
    dll.take_trace();
    for (int ch : {3, -1, 4, 256, 258, INT_MIN, INT_MAX}) {
        SCOPED_TRACE(ch);
        EXPECT_EQ(dll.call("sa", {bench::i32(ch), bench::i32(10)}).i32(), -777);
        EXPECT_EQ(dll.call("sad", {bench::i32(ch), bench::f64(1.0)}).f64_bits(), bits(-777.0));
        EXPECT_EQ(dll.call("sad", {bench::i32(ch), bench::f64_bits(kSignallingNan)}, 0x1332).f64_bits(),
                  bits(-777.0));
        EXPECT_EQ(dll.call("rsa", {bench::i32(ch)}).i32(), -777);
        EXPECT_EQ(dll.call("rsad", {bench::i32(ch)}).f64_bits(), bits(-777.0));
        EXPECT_TRUE(dll.take_trace().empty());
    }
    for (int ch = 0; ch < 3; ++ch) {
        EXPECT_EQ(dll.call("rsa", {bench::i32(ch)}).i32(), 20 + ch);
        EXPECT_EQ(dll.call("rsad", {bench::i32(ch)}).f64(), 4.0 + ch);
    }
}

}  // namespace
}  // namespace kvrtest
