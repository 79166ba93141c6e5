// Analog outputs 0 and 1 (8-bit converters on DAC0, 0..10 V, and DAC1, -5..+5 V) and output 2, the
// square-wave frequency generator on counter 0 of the board's 8254 interval timer, set in kHz.
//
// The registers are write-only. sa and sad each keep their own shadow of what they were last given,
// and the read-backs answer from it: the two sets are independent, neither is derived from the other.
// Values are not range-checked on this board: a DAC gets the low 8 bits of its code, whatever the code.
#include "common/core.h"
#include "common/fpuret.h"
#include "kvrextio/regmap.h"

namespace kvr::kvrextio {

// Last value given to sa, per output (for output 2 the frequency raised to 1 kHz).
i32 sashadow[3];
// Last value given to sad, per output, as the bits of the double (for output 2 the frequency raised
// to 1 kHz). All zero bits is +0.0.
fpbits::u64 sadshadow[3];

namespace {

constexpr u32 kOutputs = 3;
constexpr i32 kFrequencyOutput = 2;
constexpr u16 kDac[2] = {DAC0, DAC1};

// Output 0 spans 0..10 V and output 1 -5..+5 V over the codes 0..255: code = (volts + offset) x 255 / 10.
constexpr u32 kFullScaleCode = 255;
constexpr u32 kSpanVolts = 10;
constexpr i32 kVoltsOffset[2] = {0, 5};

// When the code of a volts value is not an integer of 64 bits (NaN, an infinity, a magnitude of 2^63
// or more), this byte goes to the DAC. A conversion of such a value on the x87 with the invalid
// exception masked gives the "integer indefinite" 0x8000000000000000, whose low byte is 0x00.
constexpr u8 kUnconvertibleCode = 0x00;

// The timer's input clock in kHz: in mode 3 counter 0 divides it by its count.
constexpr u32 timerclock = 8300;
// The lowest frequency either setter accepts; anything below is raised to it.
constexpr i32 kMinKhz = 1;

// 8254 control-word fields: counter select (bits 7-6), read/write access (bits 5-4), mode (bits
// 3-1), BCD (bit 0).
constexpr u8 kSelectCounter0 = 0 << 6;
constexpr u8 kAccessLatch = 0 << 4;
constexpr u8 kAccessLowThenHigh = 3 << 4;
constexpr u8 kModeSquareWave = 3 << 1;
constexpr u8 kCountBinary = 0;

// sad programs counter 0 completely each time. The latch command that sa writes changes neither the
// counter's mode nor its byte order, so the two count bytes after it go in the order last programmed.
constexpr u8 kProgramCounter0 = kSelectCounter0 | kAccessLowThenHigh | kModeSquareWave | kCountBinary;
constexpr u8 kLatchCounter0 = kSelectCounter0 | kAccessLatch;
static_assert(kProgramCounter0 == 0x36 && kLatchCounter0 == 0x00);

constexpr fpbits::u64 kOneBits = __builtin_bit_cast(fpbits::u64, 1.0);
constexpr fpbits::u64 kErrvalueBits = __builtin_bit_cast(fpbits::u64, static_cast<double>(errvalue));

bool valid(i32 channel)
{
    return static_cast<u32>(channel) < kOutputs;
}

// Counter 0 takes the count low byte first. Counts never exceed 8300, so two bytes hold them. A
// frequency well above the clock gives the count 0, which the chip takes as 65536: the output then
// runs at 8300/65536 kHz, not faster.
void loadtimer(u8 control, u32 count)
{
    portout(TMRCTL, control);
    portout(TMR0, count & 0xFF);
    portout(TMR0, count >> 8);
}

// The frequency in kHz that output 2 is set to: the value itself from 1 kHz up, 1 kHz below it.
i32 raised(i32 khz)
{
    return khz < kMinKhz ? kMinKhz : khz;
}

// The same on a double's bits. Non-negative doubles order like their bit patterns; a NaN fails the
// comparison with 1.0 and so becomes 1.0, and a positive NaN has larger bits than 1.0, hence the
// test for it first. +inf stays and loads the count 0.
fpbits::u64 raised(fpbits::u64 khz_bits)
{
    if (fpbits::is_nan(khz_bits) || (khz_bits & fpbits::kSignBit) != 0 || khz_bits < kOneBits) {
        return kOneBits;
    }
    return khz_bits;
}

// The DAC code of a volts value, rounded to the nearest integer, ties to even, worked out exactly on
// the bits.
u8 dac_code(i32 output, fpbits::u64 volts_bits)
{
    fpbits::i64 code;
    if (!fpbits::round_affine(volts_bits, kVoltsOffset[output], kFullScaleCode, kSpanVolts, code)) {
        return kUnconvertibleCode;
    }
    return static_cast<u8>(code);
}

}  // namespace

}  // namespace kvr::kvrextio

using namespace kvr;
using kvrextio::sadshadow;
using kvrextio::sashadow;

// Outputs 0 and 1 take a code, output 2 a frequency in kHz, truncated into the count. The value
// comes back as passed, also when output 2 stored the raised frequency.
KVR_REGCALL i32 sa(i32 channel, i32 value)
{
    using namespace kvrextio;
    if (!valid(channel)) {
        return errvalue;
    }
    if (channel == kFrequencyOutput) {
        const i32 khz = raised(value);
        sashadow[channel] = khz;
        loadtimer(kLatchCounter0, timerclock / static_cast<u32>(khz));
    } else {
        sashadow[channel] = value;
        portout(kDac[channel], static_cast<u32>(value));
    }
    return value;
}

// Outputs 0 and 1 take volts and return them unchanged; output 2 takes kHz, rounds the count to the
// nearest integer, ties to even, and both stores and returns the raised frequency.
KVR_REGCALL1 double sad(i32 channel, Double64 value)
{
    using namespace kvrextio;
    const fpbits::u64 bits = value.bits();
    if (!valid(channel)) {
        return result_double(kErrvalueBits);
    }
    if (channel == kFrequencyOutput) {
        const fpbits::u64 khz = raised(bits);
        sadshadow[channel] = khz;
        loadtimer(kProgramCounter0, fpbits::round_quotient(timerclock, khz));
        return result_double(khz);
    }
    sadshadow[channel] = bits;
    portout(kDac[channel], dac_code(channel, bits));
    return result_double(bits);
}

KVR_REGCALL i32 rsa(i32 channel)
{
    if (!kvrextio::valid(channel)) {
        return errvalue;
    }
    return sashadow[channel];
}

KVR_REGCALL double rsad(i32 channel)
{
    if (!kvrextio::valid(channel)) {
        return result_double(kvrextio::kErrvalueBits);
    }
    return result_double(sadshadow[channel]);
}
