// Analog inputs 0..3 on one multiplexer and one 8-bit converter. The converter needs no settling
// time: a reading is one select write and one read, with no discarded read and no wait.
#include "common/core.h"
#include "common/fpuret.h"
#include "kvrextio/regmap.h"

namespace kvr::kvrextio {

namespace {

constexpr u8 kInputs = 4;

// Inputs 0 and 1 read 0..2.46 V: one step is 2.46 / 255 = 41/4250 V.
constexpr fpbits::i64 kUnipolarNum = 41;
constexpr fpbits::u64 kUnipolarDen = 4250;
// Inputs 2 and 3 are bipolar: code 123 is 0 V and one step is 5/128 V, which a double holds exactly.
constexpr i32 kBipolarZero = 123;
constexpr fpbits::i64 kBipolarNum = 5;
constexpr fpbits::u64 kBipolarDen = 128;

i32 adconvert(u8 input)
{
    if (input >= kInputs) {
        return errvalue;
    }
    portout(MUXA, kSelectCode[input]);
    return portin(ADCA);
}

}  // namespace

}  // namespace kvr::kvrextio

using namespace kvr;

// Only the low 8 bits of the channel select the input: 256 and -256 read input 0.
KVR_REGCALL i32 ea(i32 channel)
{
    return kvrextio::adconvert(static_cast<u8>(channel));
}

// Unlike ea, the whole channel number is tested, and an invalid one gives -777.0.
KVR_REGCALL double ead(i32 channel)
{
    using namespace kvrextio;
    switch (channel) {
    case 0:
    case 1:
        return result_double(fpbits::double_from_ratio(adconvert(channel) * kUnipolarNum, kUnipolarDen));
    case 2:
    case 3:
        return result_double(
            fpbits::double_from_ratio((adconvert(channel) - kBipolarZero) * kBipolarNum, kBipolarDen));
    default:
        return result_double(fpbits::double_from_i32(errvalue));
    }
}
