// kvrio analog outputs: the byte on DAC0/DAC1, the shadow behind the read-backs, the volts-to-code
// rounding under any host control word, and failures that leave everything as it was.
#include <bit>
#include <climits>
#include <cmath>
#include <limits>
#include <optional>

#include "dll_fixture.h"

namespace kvrtest {
namespace {

using bench::KvrBoard;

constexpr uint16_t kDacPort[2] = {KvrBoard::DAC0, KvrBoard::DAC1};
constexpr uint64_t kErrBits = std::bit_cast<uint64_t>(-777.0);
constexpr uint64_t kPosZero = 0;
constexpr uint64_t kNegZero = 0x8000000000000000ull;
constexpr uint64_t kQuietNan = 0x7FF8000000000000ull;
constexpr uint64_t kNegQuietNan = 0xFFF8000000000000ull;  // the x87 "indefinite"
constexpr uint64_t kSignallingNan = 0x7FF0000000000001ull;
constexpr uint64_t kNegSignallingNan = 0xFFF4000000000000ull;
constexpr uint64_t kPosInf = 0x7FF0000000000000ull;
constexpr uint64_t kNegInf = 0xFFF0000000000000ull;
constexpr uint64_t kMinSubnormal = 1;
constexpr uint64_t kNegMinSubnormal = kNegZero | 1;

uint64_t bits(double v) { return std::bit_cast<uint64_t>(v); }
double up(double v) { return std::nextafter(v, std::numeric_limits<double>::infinity()); }
double down(double v) { return std::nextafter(v, -std::numeric_limits<double>::infinity()); }

// The voltage that a code stands for, 9 x code / 255, correctly rounded (the host's SSE division).
double volts_of(int code) { return static_cast<double>(9 * code) / 255.0; }

// Exact reference: 255 x v / 9 rounded to the nearest integer, ties to even, for 0 <= v <= 9, with
// v taken as the integer m times 2^e and the quotient formed in 128-bit integers.
int exact_code(double v)
{
    int e = 0;
    const double f = std::frexp(v, &e);  // v = f x 2^e, 0.5 <= f < 1
    if (v == 0.0 || e < -60) return 0;   // v < 2^-61: far below half a step
    const auto m = static_cast<unsigned __int128>(std::ldexp(f, 53));
    const int shift = 53 - e;             // v = m / 2^shift, 0 < shift <= 113
    const unsigned __int128 num = 255 * m;
    const unsigned __int128 den = static_cast<unsigned __int128>(9) << shift;
    auto q = num / den;
    const auto r2 = 2 * (num % den);
    if (r2 > den || (r2 == den && (q & 1))) ++q;
    return static_cast<int>(q);
}

// The host control words sad must be indifferent to: precision 64/53/24 bits, the four rounding
// modes, and a Pascal host's word (invalid, zero-divide and overflow unmasked, 64-bit precision).
// 0x0340 unmasks every exception, the precision one included.
constexpr uint16_t kControlWords[] = {0x037F, 0x027F, 0x007F, 0x0F7F, 0x077F, 0x0B7F, 0x1332, 0x0340};

class KvrioAnalogOut : public ::testing::Test {
protected:
    void SetUp() override
    {
        dll = load_kvrio(board);
        dll.take_trace();
    }

    // Both read-backs of both outputs report `code0` and `code1`, the board holds the same codes,
    // and reading back touches no port.
    void expect_outputs(int code0, int code1)
    {
        const int codes[2] = {code0, code1};
        for (int c = 0; c < 2; ++c) {
            SCOPED_TRACE(testing::Message() << "output " << c);
            EXPECT_EQ(dll.call("rsa", {bench::i32(c)}).i32(), codes[c]);
            EXPECT_EQ(dll.call("rsad", {bench::i32(c)}).f64_bits(), bits(volts_of(codes[c])));
            EXPECT_EQ(board->dac(c), std::optional<uint8_t>(codes[c]));
        }
        EXPECT_TRUE(dll.take_trace().empty()) << "a read-back touched the board";
    }

    std::shared_ptr<KvrBoard> board = std::make_shared<KvrBoard>();
    LoadedDll dll;
};

TEST_F(KvrioAnalogOut, ReadBacksAreZeroRightAfterLoad)
{
    expect_outputs(0, 0);
    EXPECT_EQ(dll.call("rsad", {bench::i32(0)}).f64_bits(), kPosZero);
}

// Each code goes as one byte to its own output's register and nowhere else; the shadow follows.
TEST_F(KvrioAnalogOut, SaWritesTheCodeToItsOwnRegister)
{
    struct Case {
        int channel, code;
        int after0, after1;
    };
    const Case cases[] = {
        {0, 255, 255, 0}, {1, 200, 255, 200}, {0, 0, 0, 200}, {1, 1, 0, 1},
        {0, 128, 128, 1}, {0, 127, 127, 1},   {1, 85, 127, 85}, {1, 0, 127, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "sa(" << c.channel << ", " << c.code << ")");
        EXPECT_EQ(dll.call("sa", {bench::i32(c.channel), bench::i32(c.code)}).i32(), c.code);
        EXPECT_EQ(accesses(dll.take_trace()),
                  (std::vector<Access>{out(kDacPort[c.channel], static_cast<uint8_t>(c.code))}));
        expect_outputs(c.after0, c.after1);
    }
}

TEST_F(KvrioAnalogOut, ReadBackVoltsOfKnownCodes)
{
    dll.call("sa", {bench::i32(0), bench::i32(255)});
    dll.call("sa", {bench::i32(1), bench::i32(200)});
    EXPECT_EQ(dll.call("rsad", {bench::i32(0)}).f64_bits(), bits(9.0));
    EXPECT_EQ(dll.call("rsad", {bench::i32(1)}).f64_bits(), bits(7.0588235294117645));
}

// rsad is 9 x code / 255 rounded once to the nearest double, whatever the host's precision and
// rounding control: a division done at 24-bit precision or rounded toward zero would show here.
TEST_F(KvrioAnalogOut, ReadBackVoltsOfEveryCodeUnderEveryControlWord)
{
    for (int code = 0; code < 256; ++code) {
        dll.call("sa", {bench::i32(1), bench::i32(code)});
        for (uint16_t cw : kControlWords) {
            ASSERT_EQ(dll.call("rsad", {bench::i32(1)}, cw).f64_bits(), bits(volts_of(code)))
                << "code " << code << " cw 0x" << std::hex << cw;
        }
    }
}

// sad: the code written, the volts returned bit for bit (not the voltage of the code), and the
// read-backs reporting the quantised value; the same under every host control word.
TEST_F(KvrioAnalogOut, SadWritesTheNearestCodeTiesToEvenAndReturnsTheVoltsAsPassed)
{
    struct Case {
        uint64_t volts;
        int code;
    };
    const Case cases[] = {
        {bits(1.0), 28},            // 28.33
        {bits(3.0), 85},            // exactly the voltage of code 85
        {bits(1.5), 42},            // 42.5: the three exact ties go to the even code
        {bits(4.5), 128},           // 127.5
        {bits(7.5), 212},           // 212.5
        {bits(down(1.5)), 42},      // just below and above each tie
        {bits(up(1.5)), 43},
        {bits(down(4.5)), 127},
        {bits(up(4.5)), 128},
        {bits(down(7.5)), 212},
        {bits(up(7.5)), 213},
        {bits(9.0), 255},
        {bits(down(9.0)), 255},
        {kPosZero, 0},
        {kNegZero, 0},              // not below 0.0: accepted, and -0.0 comes back
        {kMinSubnormal, 0},
        {bits(0.0176), 0},          // 0.4987 of a step
        {bits(0.0177), 1},          // 0.5015 of a step
        {bits(0.052941176470588235), 1},  // just below 1.5 steps; in doubles 255 x v / 9 is 1.5, giving 2
    };
    int shadow[2] = {0, 0};
    int channel = 0;
    for (uint16_t cw : kControlWords) {
        for (const Case& c : cases) {
            channel ^= 1;
            SCOPED_TRACE(testing::Message() << "sad(" << channel << ", " << std::bit_cast<double>(c.volts)
                                            << ") cw 0x" << std::hex << cw);
            EXPECT_EQ(dll.call("sad", {bench::i32(channel), bench::f64_bits(c.volts)}, cw).f64_bits(), c.volts);
            EXPECT_EQ(accesses(dll.take_trace()),
                      (std::vector<Access>{out(kDacPort[channel], static_cast<uint8_t>(c.code))}));
            shadow[channel] = c.code;
            expect_outputs(shadow[0], shadow[1]);
        }
    }
}

TEST_F(KvrioAnalogOut, SadOfOneVoltReadsBackAsCode28)
{
    EXPECT_EQ(dll.call("sad", {bench::i32(0), bench::f64(1.0)}).f64_bits(), bits(1.0));
    EXPECT_EQ(dll.call("rsa", {bench::i32(0)}).i32(), 28);
    EXPECT_EQ(dll.call("rsad", {bench::i32(0)}).f64_bits(), bits(0.9882352941176471));
}

// Around every boundary between two codes, (k + 0.5) x 9 / 255, the double nearest to it and its two
// neighbours, under every host control word: the code written must be the exactly rounded one and
// must not move with the precision or rounding control. Forming 255 x v and then / 9 in doubles
// rounds 128 of these doubles to the other code.
TEST_F(KvrioAnalogOut, SadCodeAtEveryStepBoundaryIgnoresTheControlWord)
{
    for (uint16_t cw : kControlWords) {
        for (int k = 0; k < 255; ++k) {
            const double mid = (2 * k + 1) * 9.0 / 510.0;
            for (double v : {down(mid), mid, up(mid)}) {
                const int code = exact_code(v);
                ASSERT_EQ(dll.call("sad", {bench::i32(0), bench::f64(v)}, cw).f64_bits(), bits(v));
                ASSERT_EQ(accesses(dll.take_trace()), (std::vector<Access>{out(KvrBoard::DAC0, static_cast<uint8_t>(code))}))
                    << "v " << v << " (step " << k << ") cw 0x" << std::hex << cw;
            }
        }
    }
}

// Every refused call returns the error value of its type and changes nothing: no port access, both
// shadows and both registers as they were. The refusals run under every control word; a signalling
// NaN in particular must be refused without a trap when the host has unmasked invalid operations.
TEST_F(KvrioAnalogOut, RefusedCallsReturnTheErrorValueAndChangeNothing)
{
    dll.call("sa", {bench::i32(0), bench::i32(17)});
    dll.call("sa", {bench::i32(1), bench::i32(234)});
    dll.take_trace();

    struct SaCase {
        int channel, code;
    };
    const SaCase sa_cases[] = {
        {2, 10}, {-1, 10},     {0, 256},     {0, -1},     {1, 1000},
        {INT_MIN, 0}, {INT_MAX, 0}, {1, INT_MIN}, {65536, 5}, {0, 0x100 | 17},  // low byte valid, code not
    };
    const int rsa_channels[] = {2, -1, 65536, 65537, INT_MIN, INT_MAX};
    struct SadCase {
        int channel;
        uint64_t volts;
    };
    const SadCase sad_cases[] = {
        {2, bits(5.0)},          {-1, bits(5.0)},       {65536, bits(5.0)},     {0, kQuietNan},
        {1, kNegQuietNan},       {0, kSignallingNan},   {1, kNegSignallingNan}, {1, kPosInf},
        {0, kNegInf},            {1, bits(-0.5)},       {0, bits(up(9.0))},     {0, bits(9.5)},
        {1, kNegMinSubnormal},   {0, bits(-9.0)},       {0, bits(1e300)},       {1, bits(-1e-300)},
        {0, bits(255.0)},        {2, kSignallingNan},
    };

    for (uint16_t cw : kControlWords) {
        SCOPED_TRACE(testing::Message() << "cw 0x" << std::hex << cw);
        for (const SaCase& c : sa_cases) {
            SCOPED_TRACE(testing::Message() << "sa(" << c.channel << ", " << c.code << ")");
            EXPECT_EQ(dll.call("sa", {bench::i32(c.channel), bench::i32(c.code)}, cw).i32(), -777);
            EXPECT_TRUE(dll.take_trace().empty());
        }
        for (int channel : rsa_channels) {
            SCOPED_TRACE(testing::Message() << "rsa/rsad(" << channel << ")");
            EXPECT_EQ(dll.call("rsa", {bench::i32(channel)}, cw).i32(), -777);
            EXPECT_EQ(dll.call("rsad", {bench::i32(channel)}, cw).f64_bits(), kErrBits);
            EXPECT_TRUE(dll.take_trace().empty());
        }
        for (const SadCase& c : sad_cases) {
            SCOPED_TRACE(testing::Message() << "sad(" << c.channel << ", bits 0x" << std::hex << c.volts << ")");
            EXPECT_EQ(dll.call("sad", {bench::i32(c.channel), bench::f64_bits(c.volts)}, cw).f64_bits(), kErrBits);
            EXPECT_TRUE(dll.take_trace().empty());
        }
        expect_outputs(17, 234);
    }
}

}  // namespace
}  // namespace kvrtest
