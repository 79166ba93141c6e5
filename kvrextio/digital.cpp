// Digital lines 0..7: inputs on DINL, outputs on DOUTL. The output register is write-only and always
// written whole: one shadow byte, one bit changed in it, the whole shadow written.
#include "common/bits.h"
#include "common/core.h"
#include "kvrextio/regmap.h"

namespace kvr::kvrextio {

u8 doutlow;  // shadow of DOUTL; bit k is output k

namespace {

constexpr u32 kLines = 8;
constexpr i32 kOnState = 1;
// sb answers 100 x channel + state.
constexpr u32 kChannelWeight = 100;

bool valid(i32 channel)
{
    return static_cast<u32>(channel) < kLines;
}

}  // namespace

}  // namespace kvr::kvrextio

using namespace kvr;
using kvrextio::doutlow;

// One read of the input register per call: no caching, no settling wait.
KVR_REGCALL i32 eb(i32 channel)
{
    if (!kvrextio::valid(channel)) {
        return errvalue;
    }
    return bitof(portin(kvrextio::DINL), static_cast<u8>(channel));
}

// Only state 1 sets the line; every other state clears it, 2 included, which asks nothing on this
// board. The register is written on every valid call, also when the bit already had its level. The
// answer wraps in 32 bits, hence the unsigned arithmetic.
KVR_REGCALL i32 sb(i32 channel, i32 state)
{
    if (!kvrextio::valid(channel)) {
        return errvalue;
    }
    setbit(doutlow, static_cast<u8>(channel), state == kvrextio::kOnState);
    portout(kvrextio::DOUTL, doutlow);
    return static_cast<i32>(kvrextio::kChannelWeight * static_cast<u32>(channel) + static_cast<u32>(state));
}

KVR_REGCALL i32 rsb(i32 channel)
{
    if (!kvrextio::valid(channel)) {
        return errvalue;
    }
    return bitof(doutlow, static_cast<u8>(channel));
}
