// The bit-level float routines against references that are exact by construction: the host's own
// IEEE conversions and divisions (correctly rounded), its 80-bit long double where that is exact,
// and rational comparisons on a small arbitrary-precision integer where nothing else is.
#include "common/fpbits.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

namespace {

using fpbits::bits_of;
using fpbits::double_of;
using fpbits::float_of;

// ---------------------------------------------------------------------------------------------------
// Signed integer of any size; only what exact comparisons of dyadic rationals need.
class Big {
public:
    Big() = default;
    static Big of(int64_t v) {
        Big b = of_u(v < 0 ? 0 - uint64_t(v) : uint64_t(v));
        b.neg_ = v < 0 && !b.mag_.empty();
        return b;
    }
    static Big of_u(uint64_t v) {
        Big b;
        b.mag_ = {uint32_t(v), uint32_t(v >> 32)};
        b.trim();
        return b;
    }
    Big operator-() const {
        Big b = *this;
        b.neg_ = !b.mag_.empty() && !neg_;
        return b;
    }
    Big operator+(const Big& o) const {
        Big r;
        if (neg_ == o.neg_) {
            r.mag_ = add(mag_, o.mag_);
            r.neg_ = neg_;
        } else if (cmp_mag(mag_, o.mag_) >= 0) {
            r.mag_ = sub(mag_, o.mag_);
            r.neg_ = neg_;
        } else {
            r.mag_ = sub(o.mag_, mag_);
            r.neg_ = o.neg_;
        }
        r.trim();
        return r;
    }
    Big operator-(const Big& o) const { return *this + (-o); }
    Big operator*(uint64_t k) const {
        Big lo = mul32(uint32_t(k)), hi = mul32(uint32_t(k >> 32)) << 32;
        Big r = lo + hi;
        r.neg_ = neg_ && !r.mag_.empty();
        return r;
    }
    Big operator<<(unsigned n) const {
        if (mag_.empty()) return *this;
        Big r;
        r.neg_ = neg_;
        r.mag_.assign(n / 32, 0);
        unsigned s = n % 32;
        uint32_t carry = 0;
        for (uint32_t w : mag_) {
            r.mag_.push_back((w << s) | carry);
            carry = s ? w >> (32 - s) : 0;
        }
        r.mag_.push_back(carry);
        r.trim();
        return r;
    }
    friend int cmp(const Big& a, const Big& b) {
        if (a.neg_ != b.neg_) return a.neg_ ? -1 : 1;
        int c = cmp_mag(a.mag_, b.mag_);
        return a.neg_ ? -c : c;
    }

private:
    using Mag = std::vector<uint32_t>;
    void trim() {
        while (!mag_.empty() && mag_.back() == 0) mag_.pop_back();
        if (mag_.empty()) neg_ = false;
    }
    Big mul32(uint32_t k) const {
        Big r;
        uint64_t carry = 0;
        for (uint32_t w : mag_) {
            uint64_t t = uint64_t(w) * k + carry;
            r.mag_.push_back(uint32_t(t));
            carry = t >> 32;
        }
        r.mag_.push_back(uint32_t(carry));
        r.trim();
        return r;
    }
    static int cmp_mag(const Mag& a, const Mag& b) {
        if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
        for (size_t i = a.size(); i-- > 0;)
            if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
        return 0;
    }
    static Mag add(const Mag& a, const Mag& b) {
        Mag r;
        uint64_t carry = 0;
        for (size_t i = 0; i < std::max(a.size(), b.size()); ++i) {
            uint64_t t = carry + (i < a.size() ? a[i] : 0) + (i < b.size() ? b[i] : 0);
            r.push_back(uint32_t(t));
            carry = t >> 32;
        }
        r.push_back(uint32_t(carry));
        return r;
    }
    static Mag sub(const Mag& a, const Mag& b) {  // a >= b
        Mag r;
        int64_t borrow = 0;
        for (size_t i = 0; i < a.size(); ++i) {
            int64_t t = int64_t(a[i]) - (i < b.size() ? b[i] : 0) - borrow;
            borrow = t < 0;
            r.push_back(uint32_t(t + (borrow << 32)));
        }
        return r;
    }

    bool neg_ = false;
    Mag mag_;
};

// a * 2^ea against b * 2^eb.
int cmp_dyadic(const Big& a, int ea, const Big& b, int eb) {
    return ea >= eb ? cmp(a << unsigned(ea - eb), b) : cmp(a, b << unsigned(eb - ea));
}

// A finite double as m * 2^e with m a signed integer.
struct Dyadic {
    Big m;
    int e;
};
Dyadic dyadic_of(uint64_t b) {
    uint64_t f = b & fpbits::kFracMask;
    int be = int((b >> 52) & 0x7FF);
    Big m = Big::of_u(be ? f | (1ull << 52) : f);
    return {(b >> 63) ? -m : m, (be ? be : 1) - 1075};
}

// ---------------------------------------------------------------------------------------------------
// Exact checks of a result against its definition.

// The double `got` is the correctly rounded num / den: it lies within half an ulp on each side (the
// lower ulp being half as wide at a power of two), and on a tie its significand is even.
testing::AssertionResult IsNearestRatio(uint64_t got, int64_t num, uint64_t den) {
    std::string what = std::to_string(num) + " / " + std::to_string(den);
    if (num == 0) {
        if (got == 0) return testing::AssertionSuccess();
        return testing::AssertionFailure() << what << ": not +0";
    }
    if ((got >> 63) != uint64_t(num < 0) || !fpbits::is_finite(got) || (got & fpbits::kExpMask) == 0)
        return testing::AssertionFailure() << what << ": wrong sign or class";
    uint64_t M = (got & fpbits::kFracMask) | (1ull << 52);
    int e = int((got >> 52) & 0x7FF) - 1075;
    Big a = Big::of_u(num < 0 ? 0 - uint64_t(num) : uint64_t(num));
    uint64_t up = 4 * M + 2, down = M == (1ull << 52) ? 4 * M - 1 : 4 * M - 2;  // in 2^(e-2)
    int c_up = cmp_dyadic(a, 0, Big::of_u(up) * den, e - 2);
    int c_down = cmp_dyadic(a, 0, Big::of_u(down) * den, e - 2);
    if (c_up > 0 || c_down < 0 || ((c_up == 0 || c_down == 0) && (M & 1)))
        return testing::AssertionFailure() << what << ": " << double_of(got) << " is not the nearest";
    return testing::AssertionSuccess();
}

// round_affine(x, add, mul, div) against the exact value V = (x + add) * mul / div.
testing::AssertionResult AffineIsExact(uint64_t x, int32_t add, uint32_t mul, uint32_t div) {
    const int64_t kUntouched = 0x5A5A5A5A5A5A5A5ALL;
    fpbits::i64 n = kUntouched;
    bool ok = fpbits::round_affine(x, add, mul, div, n);
    auto fail = [&] {
        return testing::AssertionFailure()
               << "x=" << double_of(x) << " (0x" << std::hex << x << std::dec << ") add=" << add
               << " mul=" << mul << " div=" << div << " gave " << (ok ? std::to_string(n) : "false");
    };
    if (!fpbits::is_finite(x)) {
        if (ok || n != kUntouched) return fail();
        return testing::AssertionSuccess();
    }
    // 2V * div as L * 2^eL.
    Dyadic d = dyadic_of(x);
    Big L;
    int eL;
    Big a2m = Big::of(int64_t(add) * 2) * mul;
    if (d.e < 0) {
        L = d.m * (2ull * mul) + (a2m << unsigned(-d.e));
        eL = d.e;
    } else {
        L = (d.m * (2ull * mul) << unsigned(d.e)) + a2m;
        eL = 0;
    }
    // V >= 2^63 - 1/2 rounds to 2^63 or more; V < -2^63 - 1/2 to below -2^63.
    bool too_big = cmp_dyadic(L, eL, Big::of_u(~0ull) * div, 0) >= 0;
    bool too_small = cmp_dyadic(L, eL, -((Big::of_u(1ull << 63) * 2 + Big::of(1)) * div), 0) < 0;
    if (too_big || too_small) {
        if (ok || n != kUntouched) return fail();
        return testing::AssertionSuccess();
    }
    if (!ok) return fail();
    // (2n - 1) * div <= 2V * div <= (2n + 1) * div, an end reached only by an even n.
    Big two_n = Big::of(n) * 2;
    int c_lo = cmp_dyadic(L, eL, (two_n - Big::of(1)) * div, 0);
    int c_hi = cmp_dyadic(L, eL, (two_n + Big::of(1)) * div, 0);
    if (c_lo < 0 || c_hi > 0 || ((c_lo == 0 || c_hi == 0) && (n & 1))) return fail();
    return testing::AssertionSuccess();
}

// round_quotient(num, x) against num / x: (2q - 1) x <= 2 num <= (2q + 1) x, an end only for even q.
testing::AssertionResult QuotientIsExact(uint32_t num, uint64_t x) {
    uint32_t q = fpbits::round_quotient(num, x);
    auto fail = [&] {
        return testing::AssertionFailure() << num << " / " << double_of(x) << " gave " << q;
    };
    if (q > num) return fail();
    if (fpbits::is_inf(x)) return q == 0 ? testing::AssertionSuccess() : fail();
    Dyadic d = dyadic_of(x);
    Big two_num = Big::of_u(uint64_t(num) * 2);
    int c_lo = q == 0 ? 1 : cmp_dyadic(two_num, 0, d.m * (2ull * q - 1), d.e);
    int c_hi = cmp_dyadic(two_num, 0, d.m * (2ull * q + 1), d.e);
    if (c_lo < 0 || c_hi > 0 || ((c_lo == 0 || c_hi == 0) && (q & 1))) return fail();
    return testing::AssertionSuccess();
}

// ---------------------------------------------------------------------------------------------------
// Random values.

std::mt19937_64& rng() {
    static std::mt19937_64 r(20240611);
    return r;
}
uint64_t rnd() { return rng()(); }
uint64_t rnd_below(uint64_t n) { return rnd() % n; }

// A double with biased exponent in [lo, hi]; its fraction is random, or now and then short (as in
// 1.5 or 250.0), which puts the value on coarse grids where exact ties live.
uint64_t rnd_double(int lo, int hi, bool any_sign = true) {
    uint64_t e = uint64_t(lo) + rnd_below(uint64_t(hi - lo + 1));
    uint64_t f = rnd() & fpbits::kFracMask;
    if (rnd_below(3) == 0) f &= ~0ull << (52 - rnd_below(53));
    uint64_t s = any_sign ? (rnd() & 1) << 63 : 0;
    return s | (e << 52) | (f & fpbits::kFracMask);
}

uint64_t next_up(uint64_t b) { return bits_of(std::nextafter(double_of(b), INFINITY)); }
uint64_t next_down(uint64_t b) { return bits_of(std::nextafter(double_of(b), -INFINITY)); }

const uint64_t kQNaN = 0x7FF8000000000000ull;
const uint64_t kInf = 0x7FF0000000000000ull;

// ===================================================================================================
// widen

std::pair<uint64_t, uint16_t> host_widen(double d) {
    long double x = d;
    unsigned char raw[sizeof(long double)];
    std::memcpy(raw, &x, sizeof x);
    uint64_t s;
    uint16_t se;
    std::memcpy(&s, raw, 8);
    std::memcpy(&se, raw + 8, 2);
    return {s, se};
}

TEST(Widen, MatchesHostLongDoubleForNonNaNs) {
    static_assert(std::numeric_limits<long double>::digits == 64, "needs the x87 80-bit long double");
    std::vector<uint64_t> cases = {
        0,                      bits_of(-0.0),          bits_of(1.0),
        bits_of(-1.5),          bits_of(DBL_MIN),       bits_of(DBL_MAX),
        bits_of(-DBL_MAX),      1,                      0x8000000000000001ull,  // ±smallest subnormal
        0x000FFFFFFFFFFFFFull,  0x0008000000000000ull,  0x0000000080000001ull,  kInf,
        kInf | (1ull << 63),    bits_of(2.46),          bits_of(1e300),
    };
    for (int i = 0; i < 2000; ++i) cases.push_back(rnd_double(0, 2046));
    for (int i = 0; i < 500; ++i) cases.push_back(rnd_double(0, 0));  // subnormals and zeros
    for (uint64_t b : cases) {
        auto [sig, se] = host_widen(double_of(b));
        fpbits::Ext80 w = fpbits::widen(b);
        ASSERT_EQ(w.significand, sig) << std::hex << b;
        ASSERT_EQ(w.sign_exponent, se) << std::hex << b;
    }
}

TEST(Widen, KeepsNaNPayloadAndSignallingBit) {
    struct Case {
        uint64_t in, sig;
        uint16_t se;
    } cases[] = {
        {0x7FF8000000000000ull, 0xC000000000000000ull, 0x7FFF},  // default quiet NaN
        {0xFFF8000000000001ull, 0xC000000000000800ull, 0xFFFF},  // negative, payload 1
        {0x7FF0000000000001ull, 0x8000000000000800ull, 0x7FFF},  // signalling stays signalling
        {0x7FF4000000000000ull, 0xA000000000000000ull, 0x7FFF},  // signalling, top payload bit
        {0x7FFFFFFFFFFFFFFFull, 0xFFFFFFFFFFFFF800ull, 0x7FFF},
    };
    for (const Case& c : cases) {
        fpbits::Ext80 w = fpbits::widen(c.in);
        EXPECT_EQ(w.significand, c.sig) << std::hex << c.in;
        EXPECT_EQ(w.sign_exponent, c.se) << std::hex << c.in;
    }
    // A quiet NaN goes through an x87 load untouched, so the host agrees on it.
    auto [sig, se] = host_widen(double_of(0x7FF8000000012345ull));
    EXPECT_EQ(fpbits::widen(0x7FF8000000012345ull).significand, sig);
    EXPECT_EQ(fpbits::widen(0x7FF8000000012345ull).sign_exponent, se);
}

// ===================================================================================================
// single <-> double

TEST(SingleToDouble, ExactForEveryClass) {
    // A stride over all patterns reaches every exponent, subnormals included; the low patterns are
    // all the subnormals with one or two bits.
    std::vector<uint32_t> cases;
    for (uint64_t s = 0; s <= 0xFFFFFFFFull; s += 65521) cases.push_back(uint32_t(s));
    for (int i = 0; i < 23; ++i)
        for (int j = 0; j <= i; ++j) cases.push_back((1u << i) | (1u << j));
    for (uint32_t s : std::vector<uint32_t>(cases)) cases.push_back(s | 0x80000000u);
    for (uint32_t s : cases) {
        if ((s & 0x7F800000u) == 0x7F800000u && (s & 0x7FFFFF)) continue;
        ASSERT_EQ(fpbits::single_to_double(s), bits_of(double(float_of(s)))) << std::hex << s;
    }
    struct {
        uint32_t in;
        uint64_t out;
    } nans[] = {
        {0x7FC00000u, 0x7FF8000000000000ull},
        {0x7F800001u, 0x7FF0000020000000ull},  // signalling stays signalling
        {0xFFBFFFFFu, 0xFFF7FFFFE0000000ull},
        {0x7F800000u, kInf},
        {0xFF800000u, kInf | (1ull << 63)},
    };
    for (auto& c : nans) EXPECT_EQ(fpbits::single_to_double(c.in), c.out) << std::hex << c.in;
}

TEST(DoubleToSingle, RoundsLikeTheHostConversion) {
    const double t149 = std::ldexp(1.0, -149), t150 = std::ldexp(1.0, -150);
    std::vector<double> cases = {
        0.0, -0.0, 1.0, -1.0, 2.46, 0.1, -1e-30,
        1 + std::ldexp(1.0, -24),  // tie, to even: 1
        1 + 3 * std::ldexp(1.0, -24),  // tie, to even: up
        std::nextafter(1 + std::ldexp(1.0, -24), 2.0), std::nextafter(1 + std::ldexp(1.0, -24), 0.0),
        FLT_MAX, double(FLT_MAX) + std::ldexp(1.0, 103),  // tie above FLT_MAX: to the even 2^128, infinity
        std::nextafter(double(FLT_MAX) + std::ldexp(1.0, 103), 0.0), std::ldexp(1.0, 128), DBL_MAX,
        -DBL_MAX, INFINITY, -INFINITY,
        FLT_MIN, double(FLT_MIN) - t150,  // tie between the largest subnormal and FLT_MIN
        std::nextafter(double(FLT_MIN) - t150, 0.0), t149, t150, -t150, std::nextafter(t150, 1.0),
        std::nextafter(t150, 0.0), 1.5 * t149, 2.5 * t149, 3.5 * t149, std::ldexp(1.0, -151), DBL_MIN,
        DBL_TRUE_MIN, -DBL_TRUE_MIN,
    };
    for (int i = 0; i < 20000; ++i) cases.push_back(double_of(rnd_double(1023 - 160, 1023 + 130)));
    // Exact ties and their neighbours, for normal and subnormal results alike.
    for (int i = 0; i < 3000; ++i) {
        uint64_t b = rnd_double(1023 - 155, 1023 + 128);
        int e = int((b >> 52) & 0x7FF) - 1023;
        int drop = e >= -126 ? 29 : 29 + (-126 - e);  // fraction bits below the single's last one
        if (drop > 52) continue;
        b = (b & ~((1ull << drop) - 1)) | (1ull << (drop - 1));
        cases.insert(cases.end(), {double_of(b), double_of(next_up(b)), double_of(next_down(b))});
    }
    for (double d : cases)
        ASSERT_EQ(fpbits::double_to_single(bits_of(d)), bits_of(float(d))) << d << " 0x" << std::hex
                                                                             << bits_of(d);
}

TEST(DoubleToSingle, NaNKeepsSignAndTopOfPayload) {
    struct {
        uint64_t in;
        uint32_t out;
    } cases[] = {
        {0x7FF8000000000000ull, 0x7FC00000u},
        {0xFFF8000000000001ull, 0xFFC00000u},  // payload below the kept bits is lost
        {0x7FF0000020000000ull, 0x7F800001u},  // signalling stays signalling
        {0x7FF7FFFFE0000000ull, 0x7FBFFFFFu},
        {0x7FF0000000000001ull, 0x7FC00000u},  // would truncate to infinity: quiet bit set
        {0xFFF000001FFFFFFFull, 0xFFC00000u},
    };
    for (auto& c : cases) EXPECT_EQ(fpbits::double_to_single(c.in), c.out) << std::hex << c.in;
}

TEST(DoubleFromI32, Exact) {
    std::vector<int32_t> cases = {0, 1, -1, 2, 3, -3, INT32_MAX, INT32_MIN, INT32_MIN + 1, 1 << 30};
    for (int i = 0; i < 31; ++i) cases.insert(cases.end(), {(1 << i) - 1, -(1 << i) + 1, 1 << i});
    for (int i = 0; i < 5000; ++i) cases.push_back(int32_t(uint32_t(rnd()) >> rnd_below(32)));
    for (int32_t v : cases) ASSERT_EQ(fpbits::double_from_i32(v), bits_of(double(v))) << v;
}

// ===================================================================================================
// double_from_ratio

// The extended-precision procedure the outputs are held to: k / 255 * 2.46 in 80 bits, then rounded
// once to double. For these k it is also the double nearest to k * 2.46 / 255 = k * 41 / 4250.
double extended_procedure(int k) { return double((long double)k / 255.0L * 2.46L); }

TEST(DoubleFromRatio, ScaledCodesMatchTheExtendedProcedureAndAreNearest) {
    std::vector<int> ks;
    for (int k = 0; k <= 255; ++k) ks.push_back(k);
    ks.push_back(-777);
    for (int k : ks) {
        uint64_t got = fpbits::double_from_ratio(int64_t(k) * 41, 4250);
        EXPECT_EQ(got, bits_of(extended_procedure(k))) << k;
        EXPECT_TRUE(IsNearestRatio(got, int64_t(k) * 41, 4250));
    }
    EXPECT_EQ(double_of(fpbits::double_from_ratio(33 * 41, 4250)), 0.31835294117647056);
    EXPECT_EQ(double_of(fpbits::double_from_ratio(128 * 41, 4250)), 1.2348235294117647);
    EXPECT_EQ(double_of(fpbits::double_from_ratio(255 * 41, 4250)), 2.46);
    EXPECT_EQ(double_of(fpbits::double_from_ratio(-777 * 41, 4250)), -7.495764705882353);
    EXPECT_EQ(double_of(fpbits::double_from_ratio(1000000, 4000)), 250.0);
}

TEST(DoubleFromRatio, MatchesHostDivisionWhereBothOperandsAreExactDoubles) {
    for (int k = 0; k <= 255; ++k)
        ASSERT_EQ(fpbits::double_from_ratio(9 * k, 255), bits_of(double(9 * k) / 255.0)) << k;
    EXPECT_EQ(double_of(fpbits::double_from_ratio(9 * 200, 255)), 7.0588235294117645);
    EXPECT_EQ(double_of(fpbits::double_from_ratio(9 * 28, 255)), 0.9882352941176471);
    for (int i = 0; i < 20000; ++i) {
        int64_t num = int64_t(rnd() >> (11 + rnd_below(53)));
        if (rnd() & 1) num = -num;
        uint64_t den = 1 + (rnd() >> (11 + rnd_below(53)));
        ASSERT_EQ(fpbits::double_from_ratio(num, den), bits_of(double(num) / double(den)))
            << num << " / " << den;
    }
}

TEST(DoubleFromRatio, NearestForFullRangeOperandsAndTies) {
    const int64_t kMin = std::numeric_limits<int64_t>::min(), kMax = std::numeric_limits<int64_t>::max();
    std::vector<std::pair<int64_t, uint64_t>> cases = {
        {1, 1}, {-1, 1}, {1, 3}, {kMin, 1}, {kMax, 1}, {kMin, 3}, {kMax, ~0ull}, {1, ~0ull},
        {-1, ~0ull}, {kMin, ~0ull}, {1, 0xFFFFFFFFull}, {1, 0x100000000ull}, {1, 0x100000001ull},
        {kMax, 0xFFFFFFFFull}, {kMax, 0x100000000ull}, {kMax - 1, 2}, {(1ll << 53) + 1, 1},
        {(1ll << 53) + 3, 1}, {(1ll << 54) + 2, 2}, {kMax, 1ull << 40},
    };
    for (int i = 0; i < 20000; ++i) {
        int64_t num = int64_t(rnd() >> (1 + rnd_below(63)));
        uint64_t den = (rnd() >> rnd_below(64)) | 1;
        cases.push_back({rnd() & 1 ? num : -num, den});
    }
    // Ties: an odd 54-bit t times c over c * 2^j lies halfway between two doubles; +-1 leans it.
    for (int i = 0; i < 5000; ++i) {
        uint64_t t = (1ull << 53) | rnd_below(1ull << 53) | 1;
        uint64_t c = 1 + rnd_below(511);
        uint64_t den = c << rnd_below(55);
        int64_t num = int64_t(t * c);
        for (int64_t lean : {0, 1, -1}) cases.push_back({rnd() & 1 ? num + lean : -(num + lean), den});
    }
    // Wide divisors D = 2^63 + 2^53 u with num = A / 2 chosen so that A * 2^63 = Q * D + 2^63 for a Q
    // whose dropped bits are exactly half: just above a tie, the part above the half being a
    // remainder of 2^63, which a 64-bit remainder doubled at each step holds only as its carry.
    for (uint64_t u : {1, 3, 77, 1023}) {
        for (uint64_t c : {0ull, 5ull, 12345ull, (1ull << 40) + 1}) {
            uint64_t D = (1ull << 63) + (u << 53), Q = (1ull << 63) + (c << 11) + (1ull << 10);
            uint64_t A = Q + u * ((1ull << 53) + 2 * c + 1) + 1;
            cases.push_back({int64_t(A / 2), D});
        }
    }
    for (auto [num, den] : cases)
        ASSERT_TRUE(IsNearestRatio(fpbits::double_from_ratio(num, den), num, den));
}

// ===================================================================================================
// Calls outside the contract answer something harmless instead of trapping in the host.

TEST(OutsideTheContract, NoDivisionByZero) {
    EXPECT_EQ(fpbits::double_from_ratio(5, 0), kInf);
    EXPECT_EQ(fpbits::double_from_ratio(-5, 0), kInf | (1ull << 63));
    EXPECT_TRUE(fpbits::is_nan(fpbits::double_from_ratio(0, 0)));
    for (double x : {0.0, -0.0, 0.5, -2.0, DBL_TRUE_MIN, -double(INFINITY), double(NAN)})
        EXPECT_EQ(fpbits::round_quotient(7, bits_of(x)), 7u) << x;
    fpbits::i64 n = 77;
    EXPECT_FALSE(fpbits::round_affine(bits_of(1.0), 0, 1, 0, n));
    EXPECT_EQ(n, 77);
}

// ===================================================================================================
// round_affine

TEST(RoundAffine, DocumentedValues) {
    struct Case {
        double x;
        int32_t add;
        uint32_t mul, div;
        int64_t want;
    } cases[] = {
        {1.5, 0, 255, 9, 42},     {4.5, 0, 255, 9, 128},    {7.5, 0, 255, 9, 212},
        {1.0, 0, 255, 9, 28},     {3.0, 0, 255, 10, 76},    {10.5, 0, 255, 10, 268},
        {-0.1, 0, 255, 10, -3},   {2.0, 5, 255, 10, 178},   {-5.0, 5, 255, 10, 0},
        {0.0, 5, 255, 10, 128},   {-0.0, 5, 255, 10, 128},  {-DBL_TRUE_MIN, 5, 255, 10, 127},
        {DBL_TRUE_MIN, 5, 255, 10, 128}, {-1e-300, 5, 255, 10, 127},
        {250.0, 0, 7, 1, 1750},   {1.5, 0, 7, 1, 10},       {0.5, 0, 7, 1, 4},
        {2.5, 0, 1, 1, 2},        {3.5, 0, 1, 1, 4},        {-0.5, 0, 1, 1, 0},
        {-2.5, 0, 1, 1, -2},      {4294967299.0, 0, 1, 1, 4294967299},
        {-9223372036854775808.0, 0, 1, 1, std::numeric_limits<int64_t>::min()},
        {9223372036854774784.0, 0, 1, 1, 9223372036854774784},
    };
    for (const Case& c : cases) {
        fpbits::i64 n = 0;
        EXPECT_TRUE(fpbits::round_affine(bits_of(c.x), c.add, c.mul, c.div, n)) << c.x;
        EXPECT_EQ(n, c.want) << c.x << " + " << c.add << " * " << c.mul << " / " << c.div;
    }
    fpbits::i64 n = 0;
    EXPECT_TRUE(fpbits::round_to_i64(bits_of(-0.5), n));
    EXPECT_EQ(n, 0);
}

TEST(RoundAffine, FalseLeavesOutputAlone) {
    struct Case {
        uint64_t x;
        int32_t add;
        uint32_t mul, div;
    } cases[] = {
        {kQNaN, 0, 1, 1},         {0x7FF0000000000001ull, 0, 1, 1},  {kInf, 0, 1, 1},
        {kInf | (1ull << 63), 0, 1, 1}, {bits_of(9223372036854775808.0), 0, 1, 1},
        {bits_of(-9223372036854777856.0), 0, 1, 1}, {bits_of(DBL_MAX), 0, 1, 0xFFFFFFFFu},
        {bits_of(-DBL_MAX), 0, 1, 0xFFFFFFFFu}, {bits_of(std::ldexp(1.0, 95)), 0, 1, 0xFFFFFFFFu},
        {bits_of(4294967296.0), INT32_MAX, 0xFFFFFFFFu, 1}, {bits_of(std::ldexp(1.0, 62)), 0, 2, 1},
    };
    for (const Case& c : cases) {
        fpbits::i64 n = 77;
        EXPECT_FALSE(fpbits::round_affine(c.x, c.add, c.mul, c.div, n)) << std::hex << c.x;
        EXPECT_EQ(n, 77);
    }
}

TEST(RoundAffine, RoundToI64MatchesNearbyIntAndRoundAffine) {
    std::vector<uint64_t> cases = {0, bits_of(-0.0), 1, bits_of(-DBL_MIN), bits_of(0.5), bits_of(1.5),
                                   bits_of(-1.5), bits_of(0.49999999999999994), bits_of(-0.5000000000000001),
                                   bits_of(9223372036854775808.0), bits_of(-9223372036854775808.0),
                                   bits_of(-9223372036854777856.0), bits_of(9223372036854774784.0),
                                   bits_of(DBL_MAX), kInf, kInf | (1ull << 63), kQNaN, 0x7FF0000000000001ull};
    for (int p = 0; p <= 53; ++p) {  // ties and their neighbours at every magnitude
        for (double t : {std::ldexp(1.0, p) - 0.5, std::ldexp(1.0, p) + 0.5, std::ldexp(1.0, p) + 1.5}) {
            uint64_t b = bits_of(t);
            cases.insert(cases.end(), {b, next_up(b), next_down(b), b ^ (1ull << 63)});
        }
    }
    for (int i = 0; i < 20000; ++i) cases.push_back(rnd_double(1023 - 60, 1023 + 64));
    for (uint64_t b : cases) {
        double x = double_of(b);
        fpbits::i64 n = 77, via_affine = 78;
        bool ok = fpbits::round_to_i64(b, n);
        ASSERT_EQ(ok, fpbits::round_affine(b, 0, 1, 1, via_affine)) << std::hex << b;
        if (fpbits::is_finite(b) && x >= -9223372036854775808.0 && x < 9223372036854775808.0) {
            ASSERT_TRUE(ok) << x;
            ASSERT_EQ(n, int64_t(std::nearbyint(x))) << x;
            ASSERT_EQ(n, via_affine) << x;
        } else {
            ASSERT_FALSE(ok) << x;
            ASSERT_EQ(n, 77) << x;
        }
    }
}

uint32_t rnd_factor() {
    switch (rnd_below(6)) {
        case 0: return uint32_t(1 + rnd_below(16));
        case 1: return uint32_t(1 + rnd_below(1000));
        case 2: return std::max(1u, uint32_t(rnd()) >> rnd_below(32));
        case 3: return 0xFFFFFFFFu - uint32_t(rnd_below(4));
        case 4: return 0x7FFFFFFFu;
        default: return uint32_t(1) << rnd_below(32);
    }
}
int32_t rnd_add() {
    switch (rnd_below(5)) {
        case 0: return 0;
        case 1: return int32_t(rnd_below(21)) - 10;
        case 2: return rnd_below(2) ? INT32_MAX : INT32_MIN;
        default: return int32_t(uint32_t(rnd()) >> rnd_below(32)) * (rnd_below(2) ? 1 : -1);
    }
}

TEST(RoundAffine, ExactAcrossMagnitudes) {
    std::vector<uint64_t> xs = {0, bits_of(-0.0), 1, 0x8000000000000001ull, bits_of(DBL_MIN),
                                bits_of(DBL_MAX), bits_of(-DBL_MAX)};
    for (int i = 0; i < 3000; ++i) xs.push_back(rnd_double(0, 2046));           // anything
    for (int i = 0; i < 6000; ++i) xs.push_back(rnd_double(1023 - 70, 1023 + 100));  // where results live
    for (int i = 0; i < 3000; ++i) xs.push_back(rnd_double(1023 + 20, 1023 + 36));  // around 2^29
    for (int p = -80; p <= 100; ++p) {  // powers of two and their neighbours
        uint64_t b = bits_of(std::ldexp(1.0, p));
        xs.insert(xs.end(), {b, next_up(b), next_down(b), b | (1ull << 63)});
    }
    for (uint64_t x : xs) {
        int32_t add = rnd_add();
        uint32_t mul = rnd_factor(), div = rnd_factor();
        ASSERT_TRUE(AffineIsExact(x, add, mul, div));
        ASSERT_TRUE(AffineIsExact(x, 0, 1, 1));
    }
}

TEST(RoundAffine, ExactAtAndAroundTies) {
    // y = x + add = h / 2^t with h = v1 * o1 odd, mul = 2^(t-1) * v2 * o2, div = v1 * v2 (all odd
    // factors): V = o1 * o2 / 2, a tie. The neighbours of x lean it either way.
    for (int i = 0; i < 4000; ++i) {
        int t = 1 + int(rnd_below(20));
        uint64_t v1 = 2 * rnd_below(1 << 10) + 1, o1 = 2 * rnd_below(1 << 12) + 1;
        uint64_t v2 = 2 * rnd_below(1 << 5) + 1;
        uint64_t room = (1ull << (33 - t)) / v2;  // keeps mul below 2^32
        uint64_t o2 = 2 * rnd_below((room + 1) / 2) + 1;
        if (v2 * o2 << (t - 1) > 0xFFFFFFFFull || v1 * v2 > 0xFFFFFFFFull) continue;
        int32_t add = int32_t(rnd()) >> rnd_below(32);
        int64_t h = int64_t(v1 * o1) * (rnd_below(2) ? 1 : -1);
        double x = std::ldexp(double(h - int64_t(add) * (int64_t(1) << t)), -t);  // exact: < 2^53
        uint32_t mul = uint32_t(v2 * o2 << (t - 1)), div = uint32_t(v1 * v2);
        uint64_t b = bits_of(x);
        ASSERT_TRUE(AffineIsExact(b, add, mul, div));
        ASSERT_TRUE(AffineIsExact(next_up(b), add, mul, div));
        ASSERT_TRUE(AffineIsExact(next_down(b), add, mul, div));
    }
    // A tie made by add alone (odd add * u / 2) that only the sign of a tiny x breaks, or nothing
    // when x is zero; powers of two in x and mul leave the low 64 bits of x * mul all zero.
    for (int i = 0; i < 2000; ++i) {
        int j = int(rnd_below(31));
        uint32_t mul = uint32_t((2 * rnd_below(1u << (31 - j)) + 1) << j), div = 2u << j;
        int32_t add = int32_t(2 * rnd_below(1u << 30) + 1) * (rnd_below(2) ? 1 : -1);
        uint64_t x = rnd_below(2) ? rnd_double(0, 1023 - 40) : bits_of(std::ldexp(1.0, -40 - int(rnd_below(1035))));
        if (rnd_below(8) == 0) x &= ~fpbits::kExpMask & ~fpbits::kFracMask;  // ±0
        ASSERT_TRUE(AffineIsExact(x, add, mul, div));
        ASSERT_TRUE(AffineIsExact(x ^ (1ull << 63), add, mul, div));
    }
}

TEST(RoundAffine, ExactAtTheEndsOfTheRange) {
    // x chosen so that V comes out near +-2^63, for wide spreads of mul / div; the exact check decides
    // which side of the limit each lands on.
    for (int i = 0; i < 4000; ++i) {
        uint32_t mul = rnd_factor(), div = rnd_factor();
        int32_t add = rnd_add();
        double sign = rnd_below(2) ? 1.0 : -1.0;
        double x = sign * 9223372036854775808.0 * double(div) / double(mul) - double(add);
        uint64_t b = bits_of(x);
        for (int k = 0; k < 3; ++k) b = rnd_below(2) ? next_up(b) : next_down(b);
        for (uint64_t c : {b, next_up(b), next_down(b), next_up(next_up(b))})
            ASSERT_TRUE(AffineIsExact(c, add, mul, div));
    }
}

// ===================================================================================================
// round_quotient

TEST(RoundQuotient, DocumentedValues) {
    struct {
        uint32_t num;
        double x;
        uint32_t want;
    } cases[] = {
        {8300, 8.0, 1038},  {8300, 664.0, 12}, {8300, 3320.0, 2}, {8300, 16600.0, 0},
        {8300, 1.0, 8300},  {8300, 1.0000000000000002, 8300},     {8300, 16599.0, 1},
        {8300, INFINITY, 0}, {0, 1.0, 0},      {0xFFFFFFFFu, 1.0, 0xFFFFFFFFu},
        {0xFFFFFFFFu, 1.0000000000000002, 0xFFFFFFFFu},           {0xFFFFFFFFu, 8589934590.0, 0},
        {0xFFFFFFFFu, 8589934588.0, 1},
    };
    for (auto& c : cases) EXPECT_EQ(fpbits::round_quotient(c.num, bits_of(c.x)), c.want) << c.num << " / " << c.x;
}

TEST(RoundQuotient, Exact) {
    std::vector<uint32_t> nums = {0, 1, 2, 3, 8300, 16383, 0x7FFFFFFFu, 0xFFFFFFFFu};
    for (int i = 0; i < 60; ++i) nums.push_back(uint32_t(rnd()) >> rnd_below(32));
    for (uint32_t num : nums) {
        std::vector<uint64_t> xs = {bits_of(1.0), next_up(bits_of(1.0)), bits_of(1.1), bits_of(44.1),
                                    bits_of(2.0 * num), bits_of(2.0 * num + 1), bits_of(2.0 * num - 1), kInf};
        for (int i = 0; i < 200; ++i) xs.push_back(rnd_double(1023, 1023 + 34, false));
        for (uint64_t x : xs) {
            if (double_of(x) < 1.0) continue;
            ASSERT_TRUE(QuotientIsExact(num, x));
        }
    }
    // Ties need x = 2 num / odd, an even integer: num = odd * c over x = 2c, and x a hair either side.
    for (int i = 0; i < 3000; ++i) {
        uint32_t odd = uint32_t(2 * rnd_below(1000) + 1);
        uint32_t c = std::max(1u, uint32_t(rnd() >> (32 + rnd_below(32))) / odd);
        uint64_t b = bits_of(2.0 * c);
        for (uint64_t x : {b, next_up(b), next_down(b)}) ASSERT_TRUE(QuotientIsExact(odd * c, x));
    }
}

}  // namespace
