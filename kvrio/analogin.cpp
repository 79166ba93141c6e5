// Analog inputs 0..7: inputs 0..3 on MUXA/ADCA, inputs 4..7 on MUXB/ADCB.
#include "common/core.h"
#include "common/fpuret.h"
#include "kvrio/delay.h"
#include "kvrio/regmap.h"

namespace kvr::kvrio {

namespace {

constexpr i32 kSettleUs = 7;  // converter settling time after the discarded read

// One step of the converter is 2.46 V / 255 = 41/4250 V.
constexpr fpbits::i64 kVoltsNum = 41;
constexpr fpbits::u64 kVoltsDen = 4250;

constexpr u8 kInputs = 8;
constexpr u8 kInputsPerGroup = 4;

// The first read after a select returns stale data: it is made and thrown away, then the converter
// gets its settling time, then the data register is read again. The wait is made for an invalid input
// too, so every call takes the same time. The number of loop calls is worked out before the select,
// so that the arithmetic does not lengthen the settling time.
i32 adconvert(u8 input)
{
    const i32 settle = delay::delaycount(kSettleUs);
    const bool valid = input < kInputs;
    const bool groupb = input >= kInputsPerGroup;
    const u16 mux = groupb ? MUXB : MUXA;
    const u16 adc = groupb ? ADCB : ADCA;
    if (valid) {
        portout(mux, kSelectCode[input % kInputsPerGroup]);
        portin(adc);
    }
    delay::callloop(settle);
    return valid ? portin(adc) : errvalue;
}

}  // namespace

}  // namespace kvr::kvrio

using namespace kvr;

// Only the low 8 bits of the channel select the input: 256 reads input 0, -249 input 7.
KVR_REGCALL i32 ea(i32 channel)
{
    return kvrio::adconvert(static_cast<u8>(channel));
}

// code x 2.46 / 255 rounded once to the nearest double. An invalid channel is not tested here: the
// conversion's -777 goes through the same scaling and gives -7.495764705882353.
KVR_REGCALL double ead(i32 channel)
{
    const i32 code = kvrio::adconvert(static_cast<u8>(channel));
    return result_double(fpbits::double_from_ratio(code * kvrio::kVoltsNum, kvrio::kVoltsDen));
}
