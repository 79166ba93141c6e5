// The calibrated busy wait: the library's only way to wait. No timer, sleep or system wait.
#pragma once

namespace kvr::delay {

using i32 = int;

extern double loopspermicro;  // calls of emptycall per microsecond, set once at load

__attribute__((no_caller_saved_registers)) void emptycall();  // keeps every register
__attribute__((regparm(1))) void callloop(i32 count);  // count calls; nothing for count <= 0
void calibrate();             // times 1,000,000 calls against the microsecond clock
i32 delaycount(i32 us);       // calls of emptycall that make `us` microseconds
void delayus(i32 us);

}  // namespace kvr::delay
