// uchrono: a microsecond clock on the processor's time-stamp counter, calibrated once at load
// against the platform's millisecond tick counter.
#pragma once

namespace kvr::uchrono {

using i32 = int;
using i64 = long long;
using u32 = unsigned int;

extern u32 tsclow, tschigh;  // halves of the last counter reading
extern i64 tscstart, tscend, tscspan;
extern i32 ticksperus;       // counter ticks per microsecond

i64 tscnow();
i64 microsnow();
void calibrate();  // busy-polls the tick counter for one second

}  // namespace kvr::uchrono
