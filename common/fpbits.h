// Floating-point work done on the bits, with integer instructions only.
//
// The libraries run inside someone else's process, under whatever x87 control word the host's thread
// has: 24-, 53- or 64-bit precision, any rounding mode, and (Pascal hosts) the invalid-operation,
// zero-divide and overflow exceptions unmasked. Any x87 arithmetic, comparison or conversion done here
// would give results that depend on that word, and loading a signalling NaN would raise an exception
// in the host. So doubles and singles are handled as IEEE 754 bit patterns, every rounding is exact and
// done in integers, and the only x87 instruction the libraries execute is the load of a finished
// result as an 80-bit value (see fpuret.h), which is exact and raises nothing.
//
// Freestanding: no headers, no library calls but libgcc's 64-bit division. Also compiled on the host,
// where the tests check it against exact references.
#pragma once

namespace fpbits {

using u8 = unsigned char;
using u16 = unsigned short;
using u32 = unsigned int;
using u64 = unsigned long long;
using i32 = int;
using i64 = long long;

constexpr u64 kSignBit = 1ull << 63;
constexpr u64 kExpMask = 0x7FFull << 52;
constexpr u64 kFracMask = (1ull << 52) - 1;

inline u64 bits_of(double v) { u64 b; __builtin_memcpy(&b, &v, 8); return b; }
inline u32 bits_of(float v) { u32 b; __builtin_memcpy(&b, &v, 4); return b; }
inline double double_of(u64 b) { double v; __builtin_memcpy(&v, &b, 8); return v; }
inline float float_of(u32 b) { float v; __builtin_memcpy(&v, &b, 4); return v; }

constexpr bool is_nan(u64 b) { return (b & kExpMask) == kExpMask && (b & kFracMask) != 0; }
constexpr bool is_inf(u64 b) { return (b & ~kSignBit) == kExpMask; }
constexpr bool is_finite(u64 b) { return (b & kExpMask) != kExpMask; }

// x87 80-bit extended value: 64-bit significand with explicit integer bit, sign and 15-bit exponent.
struct Ext80 {
    u64 significand;
    u16 sign_exponent;
};

// Exact widening of a double to extended, NaN payload and signalling bit kept (an 80-bit load
// raises nothing even for a signalling NaN, unlike a 64-bit one).
Ext80 widen(u64 double_bits);

// Exact widening of a single to a double (a signalling NaN stays signalling).
u64 single_to_double(u32 single_bits);

// Rounds a double to the nearest single, ties to even, subnormal results included; overflow gives
// the infinity of that sign. A NaN stays a NaN of the same sign and keeps the top 23 bits of its
// payload, the quiet bit among them, so a signalling NaN stays signalling; only when those 23 bits are
// all zero is the quiet bit set, as the result would otherwise be an infinity.
u32 double_to_single(u64 double_bits);

// Exact conversion of a 32-bit integer to a double.
u64 double_from_i32(i32 v);

// The double nearest to num / den (ties to even); den > 0. Exact for every num.
// (den == 0, outside the contract, gives ±infinity, or a quiet NaN for 0 / 0, rather than a trap.)
u64 double_from_ratio(i64 num, u64 den);

// Nearest integer to (x + add) * mul / div, ties to even, computed exactly on the real value of x.
// mul and div are positive (div == 0, outside the contract, gives false rather than a trap).
// Returns false, leaving `out` alone, for a NaN, an infinity, or a result outside the i64 range
// (-2^63 itself fits).
bool round_affine(u64 x_bits, i32 add, u32 mul, u32 div, i64& out);

// Nearest integer to x, ties to even, as a signed 64-bit integer: round_affine(x, 0, 1, 1), with a
// shorter path of its own.
bool round_to_i64(u64 x_bits, i64& out);

// Nearest integer to num / x, ties to even, for x >= 1.0 (infinity included, which gives 0).
// num >= 0. The result is at most num. (Outside the contract, a NaN or an x below 1.0 is taken as
// 1.0 and gives num.)
u32 round_quotient(u32 num, u64 x_bits);

}  // namespace fpbits
