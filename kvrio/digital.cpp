// Digital lines: inputs 0..7 on DINL and 8..15 on DINH; outputs 0..7 on DOUTL and 8..15 on DOUTH.
// The output registers are write-only and always written whole: one shadow byte per register, one
// bit changed in it, the whole shadow written.
#include "common/bits.h"
#include "common/core.h"
#include "kvrio/regmap.h"

namespace kvr::kvrio {

u8 doutlow;   // shadow of DOUTL; bit k is output k
u8 douthigh;  // shadow of DOUTH; bit k is output 8 + k

namespace {

constexpr u32 kLinesPerRegister = 8;
constexpr i32 kQueryState = 2;

// The register half that holds a line: 0..7 low, 8..15 high; false for any other channel.
struct Line {
    u8 bit;
    bool high;
};
bool decode(i32 channel, Line& line)
{
    if (static_cast<u32>(channel) < kLinesPerRegister) {
        line = {static_cast<u8>(channel), false};
        return true;
    }
    // Subtracted as unsigned: channel - 8 would overflow for channels near INT_MIN.
    if (static_cast<u32>(channel) - kLinesPerRegister < kLinesPerRegister) {
        line = {static_cast<u8>(static_cast<u32>(channel) - kLinesPerRegister), true};
        return true;
    }
    return false;
}

}  // namespace

}  // namespace kvr::kvrio

using namespace kvr;

// One read of the input register per call: no caching, no settling wait.
KVR_REGCALL i32 eb(i32 channel)
{
    kvrio::Line line;
    if (!kvrio::decode(channel, line)) {
        return errvalue;
    }
    return bitof(portin(line.high ? kvrio::DINH : kvrio::DINL), line.bit);
}

// State 1 sets the line, 0 clears it, 2 asks for its level; any other state changes nothing. The
// register is written again in every case, with the unchanged byte when nothing changed; the other
// half's register never.
KVR_REGCALL i32 sb(i32 channel, i32 state)
{
    kvrio::Line line;
    if (!kvrio::decode(channel, line)) {
        return errvalue;
    }
    u8& shadow = line.high ? kvrio::douthigh : kvrio::doutlow;
    if (state == 0 || state == 1) {
        setbit(shadow, line.bit, state == 1);
    }
    portout(line.high ? kvrio::DOUTH : kvrio::DOUTL, shadow);
    return state == kvrio::kQueryState ? bitof(shadow, line.bit) : state;
}

KVR_REGCALL i32 rsb(i32 channel)
{
    kvrio::Line line;
    if (!kvrio::decode(channel, line)) {
        return errvalue;
    }
    return bitof(line.high ? kvrio::douthigh : kvrio::doutlow, line.bit);
}
