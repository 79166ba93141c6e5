// The calibrated busy wait: the library's only way to wait. No timer, sleep or system wait.
#pragma once

namespace kvr::delay {

using i32 = int;

extern double loopspermicro;  // calls of emptycall per microsecond, set once at load

void emptycall();
void callloop(i32 count);     // calls emptycall count times; nothing for count <= 0
void calibrate();             // times 1,000,000 calls against the microsecond clock
i32 delaycount(i32 us);       // calls of emptycall that make `us` microseconds
void delayus(i32 us);

}  // namespace kvr::delay
