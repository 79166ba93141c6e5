#include "kvrio/uchrono.h"

extern "C" __declspec(dllimport) unsigned long __stdcall GetTickCount();

namespace kvr::uchrono {

namespace {
constexpr u32 kCalibrationMs = 1000;
constexpr i64 kMicrosPerCalibration = 1000000;  // the second counts as exactly this, however overrun
}  // namespace

u32 tsclow, tschigh;
i64 tscstart, tscend, tscspan;
i32 ticksperus;

i64 tscnow()
{
    u32 lo, hi;
    asm volatile("rdtsc" : "=a"(lo), "=d"(hi));
    tsclow = lo;
    tschigh = hi;
    return static_cast<i64>((static_cast<unsigned long long>(hi) << 32) | lo);
}

// A counter that did not advance during calibration leaves ticksperus at 0: the clock then stands
// still at 0 rather than dividing by zero, and the delay calibration treats that as a broken clock.
i64 microsnow()
{
    const i64 ticks = tscnow();
    return ticksperus > 0 ? ticks / ticksperus : 0;
}

// The tick counter wraps after 2^32 ms; the difference taken modulo 2^32 still measures the second,
// also when the count starts at or above 2^31 or passes from 2^32 - 1 to 0 meanwhile.
void calibrate()
{
    const u32 start = GetTickCount();
    tscstart = tscnow();
    while (static_cast<u32>(GetTickCount() - start) < kCalibrationMs) {
    }
    tscend = tscnow();
    tscspan = tscend - tscstart;
    ticksperus = static_cast<i32>(tscspan / kMicrosPerCalibration);
}

}  // namespace kvr::uchrono
