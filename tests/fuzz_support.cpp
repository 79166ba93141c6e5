#include "fuzz_support.h"

#include "tools/exportcall.h"

#include <array>
#include <bit>
#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <optional>
#include <random>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string_view>

namespace kvrfuzz {

using bench::Arg;
using bench::Dir;

const char* lib_name(Lib lib) { return lib == Lib::Kvrio ? "kvrio" : "kvrextio"; }

bench::ClockConfig quick_clock(uint64_t cpu_hz)
{
    bench::ClockConfig c;
    c.cpu_hz = cpu_hz;
    c.syscall_ns = 100'000;
    return c;
}

Target load(Lib lib, const std::string& dll_dir, uint64_t cpu_hz)
{
    Target t{lib, nullptr, nullptr, nullptr};
    bench::MachineConfig cfg;
    cfg.clock = quick_clock(cpu_hz);
    t.machine = std::make_unique<bench::Machine>(cfg);
    if (lib == Lib::Kvrio) {
        t.kvr = std::make_shared<bench::KvrBoard>();
        t.machine->attach(t.kvr);
    } else {
        t.sup = std::make_shared<bench::KvrSupBoard>();
        t.machine->attach(t.sup);
    }
    t.machine->load(dll_dir + "/" + lib_name(lib) + ".dll");
    if (!t.machine->attach_succeeded()) throw std::runtime_error(std::string(lib_name(lib)) + ": the entry point failed");
    return t;
}

// ---- boundary values ----------------------------------------------------------------------------

namespace {

uint64_t bits_of(double v) { return std::bit_cast<uint64_t>(v); }
uint32_t bits_of(float v) { return std::bit_cast<uint32_t>(v); }
double up(double v) { return std::nextafter(v, INFINITY); }
double down(double v) { return std::nextafter(v, -INFINITY); }

constexpr uint64_t kQuietNan = 0x7FF8000000000000, kSignallingNan = 0x7FF0000000000001;
constexpr uint64_t kNegQuietNan = 0xFFF8000000000000, kNegSignallingNan = 0xFFF0000000000001;
constexpr uint64_t kQuietNanPayload = 0x7FFFFFFFFFFFFFFF, kSignallingNanHigh = 0x7FF7FFFFFFFFFFFF;
constexpr uint64_t kPosInf = 0x7FF0000000000000, kNegInf = 0xFFF0000000000000;
constexpr uint64_t kNegZero = 0x8000000000000000;
constexpr uint64_t kMinSubnormal = 1, kMaxSubnormal = 0x000FFFFFFFFFFFFF;

}  // namespace

const std::vector<int32_t>& boundary_channels()
{
    static const std::vector<int32_t> v = {
        INT_MIN, INT_MIN + 1, INT_MIN + 2, -65536, -65535, -257, -256, -255, -249, -2, -1,
        0, 1, 2, 3, 4, 5, 7, 8, 9, 15, 16, 17, 255, 256, 257, 258, 259, 260, 263, 264, 271, 272,
        65535, 65536, 65537, 65538, 65539, 65543, 65551, 16777216, INT_MAX - 1, INT_MAX};
    return v;
}

const std::vector<int32_t>& boundary_codes()
{
    static const std::vector<int32_t> v = {INT_MIN, -777, -257, -256, -1, 0, 1, 2, 3, 5, 127, 128,
                                           255, 256, 300, 8299, 8300, 8301, 65535, 65536, INT_MAX};
    return v;
}

const std::vector<uint64_t>& boundary_int_doubles()
{
    static const std::vector<uint64_t> v = {
        bits_of(0.0), kNegZero, bits_of(0.5), bits_of(-0.5), bits_of(0.49999999999999994), bits_of(-0.4),
        bits_of(1.0), bits_of(1.5), bits_of(2.0), bits_of(2.5), bits_of(3.5), bits_of(7.0), bits_of(7.5),
        bits_of(8.0), bits_of(15.0), bits_of(15.5), bits_of(16.0), bits_of(-1.0), bits_of(-1.5),
        bits_of(256.0), bits_of(65536.0), bits_of(65537.0), bits_of(2147483647.0), bits_of(2147483648.0),
        bits_of(-2147483648.0), bits_of(-2147483649.0), bits_of(4294967296.0), bits_of(4294967299.0),
        bits_of(4294967296.0 + 7.5), bits_of(0x1p62 + 1024.0), bits_of(down(0x1p63)), bits_of(0x1p63),
        bits_of(up(0x1p63)), bits_of(-0x1p63), bits_of(up(-0x1p63)), bits_of(down(-0x1p63)), bits_of(0x1p64),
        bits_of(1e300), bits_of(-1e300), bits_of(DBL_MAX), bits_of(-DBL_MAX), kMinSubnormal,
        kNegZero | kMinSubnormal, kMaxSubnormal, bits_of(DBL_MIN), kPosInf, kNegInf, kQuietNan, kSignallingNan,
        kNegQuietNan, kNegSignallingNan, kQuietNanPayload, kSignallingNanHigh};
    return v;
}

const std::vector<uint64_t>& boundary_volts()
{
    static const std::vector<uint64_t> v = {
        bits_of(0.0), kNegZero, kMinSubnormal, kNegZero | kMinSubnormal, kMaxSubnormal, bits_of(DBL_MIN),
        bits_of(-DBL_MIN), bits_of(0.5), bits_of(down(1.0)), bits_of(1.0), bits_of(1.5), bits_of(2.0),
        bits_of(3.0), bits_of(4.5), bits_of(5.0), bits_of(7.5), bits_of(8.0), bits_of(9.0), bits_of(up(9.0)),
        bits_of(10.0), bits_of(10.5), bits_of(-0.1), bits_of(-0.5), bits_of(-5.0), bits_of(664.0),
        bits_of(3320.0), bits_of(8300.0), bits_of(16600.0), bits_of(1e15), bits_of(-1e15),
        bits_of(360000000000000064.0), bits_of(down(0x1p63)), bits_of(0x1p63), bits_of(-0x1p63),
        bits_of(1e300), bits_of(DBL_MAX), bits_of(-DBL_MAX), kPosInf, kNegInf, kQuietNan, kSignallingNan,
        kNegQuietNan, kNegSignallingNan, kQuietNanPayload};
    return v;
}

const std::vector<uint32_t>& boundary_singles()
{
    static const std::vector<uint32_t> v = {
        bits_of(0.0f), 0x80000000u, 0x00000001u, 0x80000001u, 0x007FFFFFu, bits_of(FLT_MIN), bits_of(0.5f),
        bits_of(1.0f), bits_of(1.5f), bits_of(4.5f), bits_of(9.0f), bits_of(std::nextafter(9.0f, 10.0f)),
        bits_of(10.0f), bits_of(-0.1f), bits_of(-5.0f), bits_of(664.0f), bits_of(8300.0f), bits_of(16600.0f),
        bits_of(0x1p63f), bits_of(FLT_MAX), bits_of(-FLT_MAX), 0x7F800000u, 0xFF800000u, 0x7FC00000u,
        0x7F800001u, 0xFFC00000u, 0xFF800001u, 0x7FBFFFFFu};
    return v;
}

namespace {

std::string hex64(uint64_t v)
{
    char b[24];
    std::snprintf(b, sizeof b, "0x%016llX", static_cast<unsigned long long>(v));
    return b;
}

std::string show_double(uint64_t bits)
{
    char b[64];
    std::snprintf(b, sizeof b, "%.17g [%016llX]", std::bit_cast<double>(bits), static_cast<unsigned long long>(bits));
    return b;
}

std::string show_single(uint32_t bits)
{
    char b[48];
    std::snprintf(b, sizeof b, "%.9gf [%08X]", static_cast<double>(std::bit_cast<float>(bits)), bits);
    return b;
}

}  // namespace

std::string describe_args(const kvr::Export& e, std::span<const Arg> args)
{
    std::string s = std::string(e.name) + "(";
    for (size_t i = 0; i < args.size(); ++i) {
        if (i) s += ", ";
        switch (args[i].kind) {
        case Arg::I32: s += std::to_string(static_cast<int32_t>(args[i].bits)); break;
        case Arg::F64: s += show_double(args[i].bits); break;
        case Arg::F32: s += show_single(static_cast<uint32_t>(args[i].bits)); break;
        case Arg::Ptr: s += args[i].bits ? "ptr " + hex64(args[i].bits) : "null"; break;
        }
    }
    return s + ")";
}

// ---- the model ----------------------------------------------------------------------------------

namespace {

// The row of the export table of a name that is in it.
const kvr::Export& row(std::string_view name)
{
    if (const kvr::Export* e = kvrtools::find_export(name)) return *e;
    throw std::invalid_argument("no export named " + std::string(name));
}

using i64 = int64_t;
using u128 = unsigned __int128;
using i128 = __int128;

// A double that stands for a channel or state: nearest integer, ties to even, low 32 bits; one that
// is not a number, infinite, or of magnitude 2^63 or more becomes -1.
int32_t integer_of(uint64_t bits)
{
    const double d = std::bit_cast<double>(bits);
    if (!std::isfinite(d) || std::fabs(d) >= 0x1p63) return -1;
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(static_cast<i64>(std::nearbyint(d)))));
}

// Exact widening of a single; a signalling NaN stays signalling (the host's conversion would quiet it).
uint64_t widen_single(uint32_t s)
{
    if ((s & 0x7F800000u) == 0x7F800000u && (s & 0x007FFFFFu) != 0)
        return uint64_t{s >> 31} << 63 | kPosInf | uint64_t{s & 0x007FFFFFu} << 29;
    return bits_of(static_cast<double>(std::bit_cast<float>(s)));
}

// Nearest single, ties to even; a NaN keeps its sign and the top 23 bits of its payload, with the
// quiet bit set only when those are all zero.
uint32_t narrow_to_single(uint64_t d)
{
    if ((d & kPosInf) == kPosInf && (d & 0x000FFFFFFFFFFFFFull) != 0) {
        uint32_t frac = static_cast<uint32_t>((d & 0x000FFFFFFFFFFFFFull) >> 29);
        if (frac == 0) frac = 0x00400000u;
        return static_cast<uint32_t>(d >> 63) << 31 | 0x7F800000u | frac;
    }
    return bits_of(static_cast<float>(std::bit_cast<double>(d)));
}

// Nearest integer to n / d, ties to even, for d > 0.
i128 round_div(i128 n, u128 d)
{
    const bool neg = n < 0;
    const u128 a = neg ? static_cast<u128>(-n) : static_cast<u128>(n);
    u128 q = a / d;
    const u128 r2 = 2 * (a % d);
    if (r2 > d || (r2 == d && (q & 1))) ++q;
    return neg ? -static_cast<i128>(q) : static_cast<i128>(q);
}

// Nearest integer to (x + add) * mul / div, ties to even, exactly; nullopt for a NaN, an infinity or
// a result outside the 64-bit range. For mul >= div only (a huge x then gives a huge result).
std::optional<i64> round_affine(uint64_t x, int32_t add, uint32_t mul, uint32_t div)
{
    const unsigned exp = static_cast<unsigned>(x >> 52 & 0x7FF);
    if (exp == 0x7FF) return std::nullopt;
    const bool neg = x >> 63;
    const uint64_t frac = x & 0x000FFFFFFFFFFFFFull;
    const i128 m = exp == 0 ? frac : frac | 1ull << 52;
    const int e = exp == 0 ? -1074 : static_cast<int>(exp) - 1075;  // |x| = m x 2^e
    i128 q;
    if (m == 0) {
        q = round_div(i128{add} * mul, div);
    } else if (e >= 0) {
        if (e > 63) return std::nullopt;
        const i128 xv = (neg ? -m : m) << e;
        q = round_div((xv + add) * mul, div);
    } else if (e >= -100) {
        const int k = -e;
        q = round_div(((neg ? -m : m) + (i128{add} << k)) * mul, u128{div} << k);
    } else {
        // |x| < 2^-47: it decides only a tie of add x mul / div, by its sign.
        const i128 n = i128{add} * mul;
        q = n / div;  // n >= 0 for every caller
        const i128 r2 = 2 * (n % div);
        if (r2 > div || (r2 == div && !neg)) ++q;
    }
    if (q > INT64_MAX || q < INT64_MIN) return std::nullopt;
    return static_cast<i64>(q);
}

// Nearest integer to num / f, ties to even, for f >= 1.0 or +infinity (which gives 0).
uint32_t round_quotient(uint32_t num, uint64_t f)
{
    if (f == kPosInf) return 0;
    const unsigned exp = static_cast<unsigned>(f >> 52 & 0x7FF);
    const u128 m = (f & 0x000FFFFFFFFFFFFFull) | 1ull << 52;
    const int e = static_cast<int>(exp) - 1075;
    if (e >= 0) {
        if (e > 60) return 0;
        return static_cast<uint32_t>(round_div(num, m << e));
    }
    return static_cast<uint32_t>(round_div(static_cast<i128>(u128{num} << -e), m));
}

// The double nearest to num / den: both are exact doubles, and IEEE division rounds correctly.
uint64_t ratio(i64 num, i64 den) { return bits_of(static_cast<double>(num) / static_cast<double>(den)); }

constexpr int32_t kErr = -777;
const uint64_t kErrBits = bits_of(-777.0);
constexpr uint8_t kSelect[4] = {4, 8, 1, 2};

struct Acc {
    Dir dir;
    uint16_t port;
    std::optional<uint8_t> value;  // nullopt: any byte (a read the model does not predict)
};
Acc out(uint16_t port, std::optional<uint8_t> v) { return {Dir::Out, port, v}; }
Acc in(uint16_t port, std::optional<uint8_t> v = std::nullopt) { return {Dir::In, port, v}; }

// A result: an integer (low 32 bits), a double's bits, or a text.
struct Value {
    char kind = 'i';
    uint64_t bits = 0;
    std::string text;
};
Value int_value(int32_t v) { return {'i', static_cast<uint32_t>(v), {}}; }
Value double_value(uint64_t b) { return {'d', b, {}}; }
Value text_value(std::string t) { return {'t', 0, std::move(t)}; }

// A core operation with its converted arguments.
struct CoreCall {
    std::string op;
    int32_t ch = 0;
    int32_t v = 0;
    uint64_t volts = 0;
};

struct Expect {
    bool fails = false;
    Value result;
    std::vector<Acc> trace;
    bool sets = false;  // a successful sa, sad or sb: the library's state may change
};

std::string numbered(const char* prefix, int32_t n, const char* suffix = "")
{
    return prefix + std::to_string(n) + suffix;
}

const char* const kAnalogIn = "entr\xE9" "e analogique ";
const char* const kDigitalIn = "entr\xE9" "e logique ";
const char* const kDigitalOut = "sortie logique ";

// What each core operation of a library answers and does, and the state it keeps.
class Model {
public:
    explicit Model(Lib lib) : lib_(lib) {}

    std::array<uint8_t, 8> codes{};  // converter code of each analog input
    std::array<uint8_t, 2> din{};    // digital input bytes (kvrextio: din[0] only)

    // kvrio: dacvalue and the two output shadows. kvrextio: the two shadow sets, doutlow, and the last
    // byte written to each DAC and the last count loaded (what the board must hold).
    std::array<int32_t, 2> dac{};
    std::array<uint8_t, 2> dout{};
    std::array<int32_t, 3> sash{};
    std::array<uint64_t, 3> sadsh{};
    std::array<std::optional<uint8_t>, 2> dacreg{0, 0};  // nullopt: a byte the model does not predict
    std::optional<uint32_t> timer_count;

    Expect step(const CoreCall& c) { return lib_ == Lib::Kvrio ? kvrio(c) : kvrextio(c); }

private:
    Expect kvrio(const CoreCall& c)
    {
        constexpr uint16_t MUX[2] = {0x300, 0x310}, ADC[2] = {0x301, 0x311}, DAC[2] = {0x302, 0x312};
        constexpr uint16_t DOUT[2] = {0x303, 0x313}, DIN[2] = {0x304, 0x314};
        const uint32_t uch = static_cast<uint32_t>(c.ch);
        Expect x;
        const auto fail = [&](Value v) {
            x.fails = true;
            x.result = std::move(v);
            return x;
        };
        // A digital line: 0..7 in the low register, 8..15 in the high one.
        const bool line_ok = uch < 16;
        const int half = uch >= 8 ? 1 : 0;
        const int bit = static_cast<int>(uch & 7);

        if (c.op == "ea" || c.op == "ead") {
            const uint8_t input = static_cast<uint8_t>(c.ch);
            int32_t k = kErr;
            if (input < 8) {
                const int g = input / 4;
                k = codes[input];
                x.trace = {out(MUX[g], kSelect[input % 4]), in(ADC[g]), in(ADC[g], codes[input])};
            }
            x.fails = input >= 8;
            x.result = c.op == "ea" ? int_value(k) : double_value(ratio(i64{k} * 41, 4250));
            return x;
        }
        if (c.op == "sa") {
            if (uch >= 2 || static_cast<uint32_t>(c.v) >= 256) return fail(int_value(kErr));
            dac[uch] = c.v;
            x.trace = {out(DAC[uch], static_cast<uint8_t>(c.v))};
            x.sets = true;
            x.result = int_value(c.v);
            return x;
        }
        if (c.op == "sad") {
            const bool in_range = c.volts <= bits_of(9.0) || c.volts == kNegZero;
            if ((c.ch != 0 && c.ch != 1) || !in_range) return fail(double_value(kErrBits));
            const auto code = round_affine(c.volts, 0, 255, 9);
            dac[uch] = static_cast<int32_t>(*code);
            x.trace = {out(DAC[uch], static_cast<uint8_t>(*code))};
            x.sets = true;
            x.result = double_value(c.volts);
            return x;
        }
        if (c.op == "rsa") {
            if (c.ch != 0 && c.ch != 1) return fail(int_value(kErr));
            x.result = int_value(dac[uch]);
            return x;
        }
        if (c.op == "rsad") {
            if (c.ch != 0 && c.ch != 1) return fail(double_value(kErrBits));
            x.result = double_value(ratio(9 * i64{dac[uch]}, 255));
            return x;
        }
        if (c.op == "eb") {
            if (!line_ok) return fail(int_value(kErr));
            x.trace = {in(DIN[half], din[half])};
            x.result = int_value(din[half] >> bit & 1);
            return x;
        }
        if (c.op == "sb") {
            if (!line_ok) return fail(int_value(kErr));
            if (c.v == 1) dout[half] = static_cast<uint8_t>(dout[half] | 1 << bit);
            if (c.v == 0) dout[half] = static_cast<uint8_t>(dout[half] & ~(1 << bit));
            x.trace = {out(DOUT[half], dout[half])};
            x.sets = true;
            x.result = int_value(c.v == 2 ? dout[half] >> bit & 1 : c.v);
            return x;
        }
        if (c.op == "rsb") {
            if (!line_ok) return fail(int_value(kErr));
            x.result = int_value(dout[half] >> bit & 1);
            return x;
        }
        return names(c, 8, 16, {"sortie analogique 0", "sortie analogique 1"}, {"sortie 0 (volts)", "sortie 1 (volts)"},
                     "KVR", "DLL pour KVR, par Zembrac, le 22 janvier 2003");
    }

    Expect kvrextio(const CoreCall& c)
    {
        constexpr uint16_t MUXA = 0x300, ADCA = 0x301, DOUTL = 0x303, DINL = 0x304, TMR0 = 0x30C, TMRCTL = 0x30F;
        constexpr uint16_t DAC[2] = {0x302, 0x305};
        const uint32_t uch = static_cast<uint32_t>(c.ch);
        Expect x;
        const auto fail = [&](Value v) {
            x.fails = true;
            x.result = std::move(v);
            return x;
        };
        const auto load_timer = [&](uint8_t control, uint32_t count) {
            x.trace = {out(TMRCTL, control), out(TMR0, count & 0xFF), out(TMR0, count >> 8 & 0xFF)};
            timer_count = count;
        };

        if (c.op == "ea") {
            const uint8_t input = static_cast<uint8_t>(c.ch);
            if (input >= 4) return fail(int_value(kErr));
            x.trace = {out(MUXA, kSelect[input]), in(ADCA, codes[input])};
            x.result = int_value(codes[input]);
            return x;
        }
        if (c.op == "ead") {
            if (uch >= 4) return fail(double_value(kErrBits));
            const i64 k = codes[uch];
            x.trace = {out(MUXA, kSelect[uch]), in(ADCA, codes[uch])};
            x.result = double_value(uch < 2 ? ratio(k * 41, 4250) : bits_of(static_cast<double>(k - 123) * 5 / 128));
            return x;
        }
        if (c.op == "sa") {
            if (uch >= 3) return fail(int_value(kErr));
            x.sets = true;
            x.result = int_value(c.v);
            if (uch == 2) {
                const int32_t khz = c.v < 1 ? 1 : c.v;
                sash[2] = khz;
                load_timer(0x00, 8300u / static_cast<uint32_t>(khz));
            } else {
                sash[uch] = c.v;
                dacreg[uch] = static_cast<uint8_t>(c.v);
                x.trace = {out(DAC[uch], static_cast<uint8_t>(c.v))};
            }
            return x;
        }
        if (c.op == "sad") {
            if (uch >= 3) return fail(double_value(kErrBits));
            x.sets = true;
            if (uch == 2) {
                const uint64_t f = c.volts == kPosInf || (c.volts >> 63 == 0 && c.volts >= bits_of(1.0) && c.volts < kPosInf)
                                       ? c.volts
                                       : bits_of(1.0);
                sadsh[2] = f;
                load_timer(0x36, round_quotient(8300, f));
                x.result = double_value(f);
            } else {
                sadsh[uch] = c.volts;
                // A value whose code is no 64-bit integer writes a byte of the implementer's choice.
                const auto code = round_affine(c.volts, uch == 0 ? 0 : 5, 255, 10);
                const std::optional<uint8_t> byte = code ? std::optional<uint8_t>(static_cast<uint8_t>(*code)) : std::nullopt;
                dacreg[uch] = byte;
                x.trace = {out(DAC[uch], byte)};
                x.result = double_value(c.volts);
            }
            return x;
        }
        if (c.op == "rsa") {
            if (uch >= 3) return fail(int_value(kErr));
            x.result = int_value(sash[uch]);
            return x;
        }
        if (c.op == "rsad") {
            if (uch >= 3) return fail(double_value(kErrBits));
            x.result = double_value(sadsh[uch]);
            return x;
        }
        if (c.op == "eb") {
            if (uch >= 8) return fail(int_value(kErr));
            x.trace = {in(DINL, din[0])};
            x.result = int_value(din[0] >> uch & 1);
            return x;
        }
        if (c.op == "sb") {
            if (uch >= 8) return fail(int_value(kErr));
            dout[0] = static_cast<uint8_t>(c.v == 1 ? dout[0] | 1 << uch : dout[0] & ~(1 << uch));
            x.trace = {out(DOUTL, dout[0])};
            x.sets = true;
            x.result = int_value(static_cast<int32_t>(100u * uch + static_cast<uint32_t>(c.v)));
            return x;
        }
        if (c.op == "rsb") {
            if (uch >= 8) return fail(int_value(kErr));
            x.result = int_value(dout[0] >> uch & 1);
            return x;
        }
        return names(c, 4, 8, {"sortie analogique 0", "sortie analogique 1", "fr\xE9" "quence"},
                     {"sortie 0 (0..10 volts)", "sortie 1 (-5..+5 volts)", "fr\xE9" "quence (kHz)"}, "KVR-sup",
                     "DLL pour KVR-Sup, par Zembrac, le 22 janvier 2003");
    }

    // The naming operations: the whole channel number counts, except for nsa (its low 16 bits).
    static Expect names(const CoreCall& c, int32_t inputs, int32_t lines, std::vector<std::string> nsa,
                        std::vector<std::string> nsad, const char* titre, const char* detail)
    {
        Expect x;
        std::string t;
        const auto within = [&](int64_t n, int64_t count) { return n >= 0 && n < count; };
        if (c.op == "nea") t = within(c.ch, inputs) ? numbered(kAnalogIn, c.ch) : "";
        else if (c.op == "nead") t = within(c.ch, inputs) ? numbered("EA ", c.ch, " (volts)") : "";
        else if (c.op == "neb") t = within(c.ch, lines) ? numbered(kDigitalIn, c.ch) : "";
        else if (c.op == "nsb") t = within(c.ch, lines) ? numbered(kDigitalOut, c.ch) : "";
        else if (c.op == "nsa") {
            const uint16_t low = static_cast<uint16_t>(c.ch);
            t = low < nsa.size() ? nsa[low] : "";
        } else if (c.op == "nsad") t = within(c.ch, static_cast<int64_t>(nsad.size())) ? nsad[c.ch] : "";
        else if (c.op == "titre") t = titre;
        else if (c.op == "detail") t = detail;
        else throw std::logic_error("no model of " + c.op);
        x.fails = t.empty();
        x.result = text_value(t);
        return x;
    }

    Lib lib_;
};

// ---- the fuzzer ---------------------------------------------------------------------------------

// Address range of the pead and psad result rings, the only state the adapters keep: the .bss
// contribution of adapters.cpp in the link map, at the preferred base.
std::pair<uint32_t, uint32_t> adapter_state(const std::string& map_path)
{
    std::ifstream in(map_path);
    if (!in) throw std::runtime_error("cannot open the link map " + map_path);
    const std::regex line(R"(^\s*\.bss\s+0x([0-9a-fA-F]+)\s+0x([0-9a-fA-F]+)\s+\S*adapters\.cpp\.obj)");
    std::string s;
    std::smatch m;
    while (std::getline(in, s))
        if (std::regex_search(s, m, line))
            return {static_cast<uint32_t>(std::stoul(m[1], nullptr, 16)), static_cast<uint32_t>(std::stoul(m[2], nullptr, 16))};
    throw std::runtime_error("no .bss of adapters.cpp in " + map_path);
}

class Fuzzer {
public:
    explicit Fuzzer(const FuzzOptions& opt) : opt_(opt), rng_(opt.seed), model_(opt.lib)
    {
        report_.lib = opt.lib;
        for (const kvr::Export& e : kvr::kExports) report_.per_export[e.name] = report_.failed_per_export[e.name] = 0;
        start();
    }

    FuzzReport run()
    {
        for (uint64_t i = 0; i < opt_.calls; ++i) {
            if (pick(64) == 0) randomize_inputs();
            const kvr::Export& e = kvr::kExports[pick(kvr::kExportCount)];
            const std::vector<Arg> args = arguments(e);
            ++report_.calls;
            ++report_.per_export[e.name];
            fuzz_call(e, args);
        }
        sweep("at the end of the run");
        return report_;
    }

private:
    // ---- set-up ----

    void start()
    {
        target_ = load(opt_.lib, opt_.dll_dir, opt_.cpu_hz);
        model_ = Model(opt_.lib);
        bench::Machine& m = *target_.machine;
        const bench::PeImage& img = m.image();
        const auto [ring, ring_size] = adapter_state(opt_.dll_dir + "/" + lib_name(opt_.lib) + ".map");
        ring_begin_ = ring - img.image_base + m.base();
        ring_end_ = ring_begin_ + ring_size;
        writable_.clear();
        for (const bench::PeSection& s : img.sections)
            if (s.writable()) writable_.push_back({m.base() + s.rva, s.virtual_size ? s.virtual_size : s.raw_size});
        for (uint32_t& p : scratch_) p = m.alloc(8);
        randomize_inputs();
        m.bus().clear_trace();
    }

    void randomize_inputs()
    {
        for (uint8_t& c : model_.codes) c = static_cast<uint8_t>(rng_());
        for (uint8_t& d : model_.din) d = static_cast<uint8_t>(rng_());
        if (target_.kvr) {
            for (int i = 0; i < 8; ++i) target_.kvr->set_code(i, model_.codes[i]);
            target_.kvr->set_din(model_.din[0], model_.din[1]);
        } else {
            for (int i = 0; i < 4; ++i) target_.sup->set_code(i, model_.codes[i]);
            target_.sup->set_din(model_.din[0]);
        }
    }

    // ---- arguments ----

    uint64_t pick(uint64_t n) { return std::uniform_int_distribution<uint64_t>(0, n - 1)(rng_); }
    template <class T> T pick_of(const std::vector<T>& v) { return v[pick(v.size())]; }
    double uniform(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng_); }
    int32_t random32() { return static_cast<int32_t>(static_cast<uint32_t>(rng_())); }

    int32_t channel()
    {
        switch (pick(10)) {
        case 0:
        case 1:
        case 2: return static_cast<int32_t>(pick(4));       // valid on every board
        case 3:
        case 4: return static_cast<int32_t>(pick(24)) - 3;  // -3 .. 20
        case 5: {  // an alias of a small channel in the low byte or the low 16 bits
            const int32_t k = static_cast<int32_t>(pick(21)) - 3;
            const uint32_t unit = pick(2) ? 256u : 65536u;
            const int32_t times[] = {1, 2, -1, -2, static_cast<int32_t>(pick(0x7FFFFF)) + 1};
            return static_cast<int32_t>(static_cast<uint32_t>(k) + unit * static_cast<uint32_t>(times[pick(5)]));
        }
        case 6: {
            const int32_t k = static_cast<int32_t>(pick(20));
            return pick(2) ? INT_MIN + k : INT_MAX - k;
        }
        case 7: return pick_of(boundary_channels());
        default: return random32();
        }
    }

    int32_t code()
    {
        switch (pick(10)) {
        case 0:
        case 1:
        case 2:
        case 3: return static_cast<int32_t>(pick(304)) - 3;  // -3 .. 300
        case 4: return pick_of(boundary_codes());
        case 5: return static_cast<int32_t>(pick(20000));    // kHz
        case 6: return static_cast<int16_t>(rng_());
        default: return random32();
        }
    }

    uint16_t control_word()
    {
        static constexpr uint16_t kUsual[] = {0x037F, 0x027F, 0x007F, 0x1332, 0x077F, 0x0B7F, 0x0F7F, 0x0340};
        if (!opt_.random_control_words) return 0x037F;
        if (pick(4)) return kUsual[pick(std::size(kUsual))];
        // Any exception mask, precision and rounding; bit 6 is reserved and reads as one.
        return static_cast<uint16_t>((rng_() & 0x1F3F) | 0x0040);
    }

    // A state for sb: mostly the few that mean something (0, 1, 2) and their neighbours.
    int32_t state()
    {
        return pick(4) ? static_cast<int32_t>(pick(9)) - 3 : code();
    }

    uint64_t nan_bits()
    {
        const uint64_t payload = rng_() & 0x000FFFFFFFFFFFFFull;
        return (rng_() & 1) << 63 | kPosInf | (payload ? payload : 1);
    }

    uint64_t int_double()
    {
        switch (pick(10)) {
        case 0:
        case 1:
        case 2:
        case 3: {
            const double offsets[] = {0.0, 0.0, 0.5, -0.5, 0.25, -0.75, 0.49999999999999994, 0.5000000000000001};
            return bits_of(static_cast<double>(channel()) + offsets[pick(8)]);
        }
        case 4: return pick_of(boundary_int_doubles());
        case 5: return rng_();
        case 6: return bits_of(std::ldexp(uniform(-1.0, 1.0), static_cast<int>(pick(70))));
        case 7: {  // the neighbours of +-2^31, +-2^32, +-2^63, +-2^64
            const double edges[] = {0x1p31, 0x1p32, 0x1p63, 0x1p64};
            double d = edges[pick(4)] * (pick(2) ? 1 : -1);
            for (uint64_t n = pick(4); n > 0; --n) d = pick(2) ? up(d) : down(d);
            return bits_of(d);
        }
        case 8: return nan_bits();
        default: return bits_of(uniform(-20.0, 40.0));
        }
    }

    uint64_t volts()
    {
        switch (pick(12)) {
        case 0:
        case 1: return bits_of(uniform(-1.0, 11.0));  // around both boards' output ranges
        case 2: return bits_of(uniform(-12.0, 12.0));
        case 3: return bits_of(uniform(0.0, 20000.0));
        case 4: return pick_of(boundary_volts());
        case 5: return rng_();
        case 6: {  // near a tie of the code: 255 v / 9, (v + 5) x 25.5, or of the count 8300 / f
            const double n = static_cast<double>(pick(300)) + 0.5;
            const double ties[] = {n * 9 / 255, n / 25.5, n / 25.5 - 5, 8300 / n};
            double d = ties[pick(4)];
            for (uint64_t k = pick(3); k > 0; --k) d = pick(2) ? up(d) : down(d);
            return bits_of(d);
        }
        case 7: return nan_bits();
        case 8: return (rng_() & 1) << 63 | (rng_() & 0x000FFFFFFFFFFFFFull);  // subnormal or zero
        case 9: return bits_of((pick(2) ? 1 : -1) * std::ldexp(uniform(1.0, 2.0), static_cast<int>(pick(1024))));
        default: return bits_of(static_cast<double>(code()));
        }
    }

    uint32_t single()
    {
        switch (pick(10)) {
        case 0:
        case 1:
        case 2: return bits_of(static_cast<float>(uniform(-12.0, 12.0)));
        case 3: return pick_of(boundary_singles());
        case 4: return static_cast<uint32_t>(rng_());
        case 5: return narrow_to_single(volts());
        case 6: return static_cast<uint32_t>(rng_() & 1) << 31 | 0x7F800000u | ((static_cast<uint32_t>(rng_()) & 0x7FFFFFu) | 1u);
        case 7: return static_cast<uint32_t>(rng_() & 0x807FFFFFu);  // subnormal or zero
        default: return bits_of(static_cast<float>(uniform(0.0, 20000.0)));
        }
    }

    std::vector<Arg> arguments(const kvr::Export& e)
    {
        const kvr::Export& core = row(e.core);
        std::vector<Arg> args;
        for (size_t i = 0; e.args[i]; ++i) {
            const bool is_channel = i == 0;
            switch (e.args[i]) {
            case 'i':
            case 'h': args.push_back(bench::i32(is_channel ? channel() : std::string_view(e.core) == "sb" ? state() : code())); break;
            case 'd':
                if (core.args[i] == 'd') args.push_back(bench::f64_bits(volts()));
                else if (i == 1 && pick(2)) args.push_back(bench::f64(static_cast<double>(state())));  // sb's state
                else args.push_back(bench::f64_bits(int_double()));
                break;
            case 's': args.push_back(bench::f32_bits(single())); break;
            case 'p': {
                if (pick(10) == 0) {
                    args.push_back(bench::ptr(0));
                    break;
                }
                const uint32_t p = scratch_[pick(scratch_.size())];
                target_.machine->poke(p, volts());
                args.push_back(bench::ptr(p));
                break;
            }
            }
        }
        return args;
    }

    // ---- one call ----

    // The core operation that an export reaches, with the arguments its adapter hands on.
    CoreCall core_call(const kvr::Export& e, std::span<const Arg> args, bool& null_pointer) const
    {
        const kvr::Export& core = row(e.core);
        CoreCall c{e.core};
        null_pointer = false;
        for (size_t i = 0; e.args[i]; ++i) {
            int32_t as_int = 0;
            uint64_t as_real = 0;
            switch (e.args[i]) {
            case 'i':
            case 'h': as_int = static_cast<int32_t>(args[i].bits); break;
            case 'd':
                if (core.args[i] == 'd') as_real = args[i].bits;
                else as_int = integer_of(args[i].bits);
                break;
            case 's': as_real = widen_single(static_cast<uint32_t>(args[i].bits)); break;
            case 'p':
                if (args[i].bits == 0) null_pointer = true;
                else as_real = target_.machine->peek<uint64_t>(static_cast<uint32_t>(args[i].bits));
                break;
            }
            if (i == 0) c.ch = as_int;
            else if (core.args[i] == 'd') c.volts = as_real;
            else c.v = as_int;
        }
        return c;
    }

    // The core operation's result as the export hands it back.
    static Value converted(const kvr::Export& e, const Value& core)
    {
        switch (e.result) {
        case 'd':
        case 'p':
            return core.kind == 'i' ? double_value(bits_of(static_cast<double>(static_cast<int32_t>(core.bits)))) : core;
        case 's': return {'s', narrow_to_single(core.bits), {}};
        default: return core;
        }
    }

    // The library's writable memory: its state, the import slots, and the pead and psad rings.
    std::vector<uint8_t> state_memory() const
    {
        std::vector<uint8_t> bytes;
        for (const auto& [at, size] : writable_) {
            const size_t off = bytes.size();
            bytes.resize(off + size);
            target_.machine->read(at, bytes.data() + off, size);
        }
        return bytes;
    }

    // The same with the rings blanked out.
    std::vector<uint8_t> without_rings(std::vector<uint8_t> bytes) const
    {
        size_t off = 0;
        for (const auto& [at, size] : writable_) {
            for (uint32_t a = std::max(at, ring_begin_); a < std::min(at + size, ring_end_); ++a) bytes[off + a - at] = 0;
            off += size;
        }
        return bytes;
    }

    void finding(uint64_t& counter, const std::string& call, const std::string& what)
    {
        ++counter;
        if (report_.examples.size() < opt_.keep)
            report_.examples.push_back(std::string(lib_name(opt_.lib)) + " call " + std::to_string(report_.calls) + " " +
                                       call + ": " + what);
    }

    // Calls one export and checks it against the model; returns the expectation it was checked
    // against, or nullopt after a fault (the library is then loaded again).
    std::optional<Expect> checked_call(const kvr::Export& e, std::span<const Arg> args)
    {
        bench::Machine& m = *target_.machine;
        bool null_pointer = false;
        const CoreCall core = core_call(e, args, null_pointer);
        last_core_ = core;
        Expect x = null_pointer ? Expect{true, double_value(kErrBits), {}, false} : model_.step(core);
        const Value want = null_pointer ? x.result : converted(e, x.result);
        std::string what = describe_args(e, args) + (e.family == kvr::Family::Pointer && !null_pointer
                                                          ? " with *ptr = " + show_double(core.volts)
                                                          : "");
        const auto memory_before = state_memory();
        m.bus().clear_trace();

        bench::CallOptions call_opt;
        call_opt.fpcw = control_word();
        const bench::CallOutcome r = kvrtools::call_export(m, e, args, call_opt);
        if (call_opt.fpcw != 0x037F) {
            char cw[32];
            std::snprintf(cw, sizeof cw, " under 0x%04X", call_opt.fpcw);
            what += cw;
        }
        if (!r.fault.empty()) {
            finding(report_.faults, what, "fault: " + r.fault);
            ++report_.reloads;
            start();
            return std::nullopt;
        }
        for (const std::string& v : r.violations) finding(report_.violations, what, v);

        const std::vector<bench::PortAccess> trace = m.bus().trace();
        m.bus().clear_trace();
        for (const bench::PortAccess& a : trace)
            if (a.flagged) finding(report_.stray_ports, what, "flagged port access: " + bench::describe(a, m.bus().board()));

        check_result(e, r, want, what);
        check_trace(trace, x, what);

        // The library's memory: a failed call, and any call that sets nothing, leaves it as it was;
        // only pead and psad write their result rings.
        if (x.fails || !x.sets) {
            const bool rings_may_change = e.family == kvr::Family::Pointer && !null_pointer;
            const std::vector<uint8_t> now = state_memory();
            const bool same = rings_may_change ? without_rings(now) == without_rings(memory_before) : now == memory_before;
            if (!same) finding(report_.side_effects, what, x.fails ? "a failed call changed the library's memory"
                                                                         : "a call that sets nothing changed the library's memory");
        }
        if (std::string_view(e.args) == "ip" && !null_pointer &&
            m.peek<uint64_t>(static_cast<uint32_t>(args[1].bits)) != core.volts)
            finding(report_.side_effects, what, "psad wrote the double it was given");
        return x;
    }

    void check_result(const kvr::Export& e, const bench::CallOutcome& r, const Value& want, const std::string& what)
    {
        std::string got;
        bool ok = false;
        try {
            switch (e.result) {
            case 'i':
                ok = r.eax == static_cast<uint32_t>(want.bits);
                got = std::to_string(r.i32()) + ", expected " + std::to_string(static_cast<int32_t>(want.bits));
                break;
            case 't': {
                const std::string t = target_.machine->read_cstring(r.eax);
                ok = t == want.text;
                got = "\"" + t + "\", expected \"" + want.text + "\"";
                break;
            }
            case 'd': {
                const uint64_t b = r.f64_bits();
                ok = b == want.bits;
                got = show_double(b) + ", expected " + show_double(want.bits);
                break;
            }
            case 's': {
                const uint32_t b = std::bit_cast<uint32_t>(r.f32());
                ok = b == want.bits;
                got = show_single(b) + ", expected " + show_single(static_cast<uint32_t>(want.bits));
                break;
            }
            case 'p': {
                const uint64_t b = target_.machine->peek<uint64_t>(r.eax);
                ok = b == want.bits;
                got = "*" + hex64(r.eax) + " = " + show_double(b) + ", expected " + show_double(want.bits);
                break;
            }
            }
        } catch (const std::exception& ex) {
            got = ex.what();
        }
        if (!ok) finding(report_.wrong_results, what, "result " + got);
    }

    void check_trace(const std::vector<bench::PortAccess>& trace, const Expect& x, const std::string& what)
    {
        bool ok = trace.size() == x.trace.size();
        for (size_t i = 0; ok && i < trace.size(); ++i) {
            const Acc& a = x.trace[i];
            ok = trace[i].dir == a.dir && trace[i].port == a.port && (!a.value || trace[i].value == *a.value);
        }
        if (ok) return;
        std::string s = x.fails ? "a failed call touched the board:" : "port trace differs from the model:";
        for (const auto& a : trace) s += " [" + bench::describe(a, target_.machine->bus().board()) + "]";
        s += " expected";
        for (const Acc& a : x.trace) {
            char b[48];
            std::snprintf(b, sizeof b, " [%s 0x%03X %s]", a.dir == Dir::Out ? "out" : "in", a.port,
                          a.value ? std::to_string(*a.value).c_str() : "any");
            s += b;
        }
        finding(x.fails ? report_.side_effects : report_.wrong_traces, what, s);
    }

    void fuzz_call(const kvr::Export& e, const std::vector<Arg>& args)
    {
        const auto x = checked_call(e, args);
        if (!x) return;
        if (x->fails) {
            ++report_.failed_calls;
            ++report_.failed_per_export[e.name];
            if (uniform(0.0, 1.0) < opt_.readback_rate) sweep("after a failed call");
        } else if (x->sets) {
            // The setting read back through the library, then the board's register against it.
            const CoreCall set = last_core_;
            if (set.op == "sb") {
                readback("rsb", set.ch);
            } else {
                readback("rsa", set.ch);
                readback("rsad", set.ch);
            }
            registers("after a setting");
        }
    }

    // A read-back through the checks; its result is compared with the model there.
    void readback(const char* op, int32_t ch)
    {
        const Arg a = bench::i32(ch);
        ++report_.check_calls;
        checked_call(row(op), {&a, 1});
    }

    // Every read-back of every channel, compared with the model, then the board's registers.
    void sweep(const char* when)
    {
        const bool base = opt_.lib == Lib::Kvrio;
        for (int32_t ch = 0; ch < (base ? 2 : 3); ++ch) {
            readback("rsa", ch);
            readback("rsad", ch);
        }
        for (int32_t ch = 0; ch < (base ? 16 : 8); ++ch) readback("rsb", ch);
        registers(when);
    }

    // What the board holds must be what the library last wrote, as the model has it.
    void registers(const char* when)
    {
        const std::string what = std::string("registers ") + when;
        if (target_.kvr) {
            for (int c = 0; c < 2; ++c)
                if (target_.kvr->dac(c).value_or(0) != model_.dac[c])
                    finding(report_.register_mismatches, what,
                            "DAC" + std::to_string(c) + " holds " + std::to_string(target_.kvr->dac(c).value_or(0)) +
                                ", the shadow " + std::to_string(model_.dac[c]));
            for (int h = 0; h < 2; ++h)
                if (target_.kvr->dout(h).value_or(0) != model_.dout[h])
                    finding(report_.register_mismatches, what,
                            std::string(h ? "DOUTH" : "DOUTL") + " holds " + std::to_string(target_.kvr->dout(h).value_or(0)) +
                                ", the shadow " + std::to_string(model_.dout[h]));
            return;
        }
        for (int c = 0; c < 2; ++c)
            if (model_.dacreg[c] && target_.sup->dac(c).value_or(0) != *model_.dacreg[c])
                finding(report_.register_mismatches, what,
                        "DAC" + std::to_string(c) + " holds " + std::to_string(target_.sup->dac(c).value_or(0)) +
                            ", last written " + std::to_string(*model_.dacreg[c]));
        if (target_.sup->dout().value_or(0) != model_.dout[0])
            finding(report_.register_mismatches, what,
                    "DOUTL holds " + std::to_string(target_.sup->dout().value_or(0)) + ", the shadow " + std::to_string(model_.dout[0]));
        // Counts reach the timer once it has been programmed (sa's latch command does not program it).
        const auto& t = target_.sup->timer();
        if (t.programmed && t.count != model_.timer_count)
            finding(report_.register_mismatches, what,
                    "counter 0 holds " + (t.count ? std::to_string(*t.count) : std::string("no count")) + ", last loaded " +
                        (model_.timer_count ? std::to_string(*model_.timer_count) : std::string("none")));
    }

    FuzzOptions opt_;
    std::mt19937_64 rng_;
    Model model_;
    Target target_;
    FuzzReport report_;
    uint32_t ring_begin_ = 0, ring_end_ = 0;
    std::vector<std::pair<uint32_t, uint32_t>> writable_;
    std::array<uint32_t, 4> scratch_{};
    CoreCall last_core_;
};

}  // namespace

FuzzReport fuzz(const FuzzOptions& opt) { return Fuzzer(opt).run(); }

std::string FuzzReport::summary() const
{
    std::ostringstream s;
    s << lib_name(lib) << ": " << calls << " calls (" << failed_calls << " expected to fail), " << check_calls
      << " read-back calls by the checks, " << reloads << " reloads after a fault\n";
    const std::pair<const char*, uint64_t> kinds[] = {
        {"faults", faults},           {"convention violations", violations}, {"flagged port accesses", stray_ports},
        {"wrong results", wrong_results}, {"wrong port traces", wrong_traces}, {"side effects", side_effects},
        {"board/shadow mismatches", register_mismatches}};
    for (const auto& [name, n] : kinds) s << "  " << name << ": " << n << "\n";
    for (const std::string& ex : examples) s << "  ! " << ex << "\n";
    return s.str();
}

}  // namespace kvrfuzz
