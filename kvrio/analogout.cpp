// Analog outputs 0 and 1: 8-bit codes on DAC0 and DAC1, 0..9 V. The registers are write-only; the
// read-backs answer from the shadow dacvalue and never touch the board.
#include "common/core.h"
#include "common/fpuret.h"
#include "kvrio/regmap.h"

namespace kvr::kvrio {

// Last code written to each output; only codes that passed the checks, so always 0..255. Zero at
// load, as the start-up writes zero to both registers.
i32 dacvalue[2];

namespace {

constexpr u16 kDac[2] = {DAC0, DAC1};
constexpr u32 kOutputs = 2;
constexpr u32 kCodes = 256;

// Code 255 is 9 V: code = 255 x volts / 9 and volts = 9 x code / 255.
constexpr u32 kFullScaleCode = 255;
constexpr u32 kFullScaleVolts = 9;
constexpr fpbits::u64 kMaxVoltsBits = __builtin_bit_cast(fpbits::u64, 9.0);
constexpr fpbits::u64 kNegativeZeroBits = fpbits::kSignBit;

// 0.0 <= volts <= 9.0 on the bits: non-negative doubles order like their bit patterns, a negative
// zero is not below 0.0, and a NaN or an infinity of either sign falls outside.
bool volts_in_range(fpbits::u64 bits)
{
    return bits <= kMaxVoltsBits || bits == kNegativeZeroBits;
}

double errvalue_double()
{
    return result_double(fpbits::double_from_i32(errvalue));
}

// The shadow is stored before the register is written.
void writedac(i32 channel, i32 code)
{
    dacvalue[channel] = code;
    portout(kDac[channel], static_cast<u32>(code));
}

}  // namespace

}  // namespace kvr::kvrio

using namespace kvr;
using kvrio::dacvalue;

KVR_REGCALL i32 sa(i32 channel, i32 code)
{
    if (static_cast<u32>(channel) >= kvrio::kOutputs || static_cast<u32>(code) >= kvrio::kCodes) {
        return errvalue;
    }
    kvrio::writedac(channel, code);
    return code;
}

// The code is 255 x volts / 9 rounded to the nearest integer, ties to even, worked out exactly on
// the bits; the volts come back exactly as passed, not the voltage the code stands for.
KVR_REGCALL1 double sad(i32 channel, Double64 volts)
{
    const fpbits::u64 bits = volts.bits();
    if ((channel != 0 && channel != 1) || !kvrio::volts_in_range(bits)) {
        return kvrio::errvalue_double();
    }
    fpbits::i64 code = 0;
    fpbits::round_affine(bits, 0, kvrio::kFullScaleCode, kvrio::kFullScaleVolts, code);
    kvrio::writedac(channel, static_cast<i32>(code));
    return result_double(bits);
}

KVR_REGCALL i32 rsa(i32 channel)
{
    if (channel != 0 && channel != 1) {
        return errvalue;
    }
    return dacvalue[channel];
}

KVR_REGCALL double rsad(i32 channel)
{
    if (channel != 0 && channel != 1) {
        return kvrio::errvalue_double();
    }
    return result_double(fpbits::double_from_ratio(
        static_cast<fpbits::i64>(kvrio::kFullScaleVolts) * dacvalue[channel], kvrio::kFullScaleCode));
}
