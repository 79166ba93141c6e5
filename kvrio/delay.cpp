#include "kvrio/delay.h"

#include "common/fpbits.h"
#include "kvrio/uchrono.h"

namespace kvr::delay {

namespace {
constexpr i32 kCalibrationCalls = 1000000;
}  // namespace

double loopspermicro;

// The wait is only as accurate as the assumption that every loop iteration costs the same during
// calibration and in use: emptycall is a real, out-of-line call that the compiler can neither inline
// nor drop, and calibration and waits run the very same loop, one call and one decrement a turn.
// emptycall keeps every register, so the loop holds its counter in a register and the few
// instructions around it add little to a wait of a few microseconds.
__attribute__((noipa, no_caller_saved_registers, target("general-regs-only"))) void emptycall()
{
    asm volatile("");
}

__attribute__((noipa, regparm(1))) void callloop(i32 count)
{
    if (count <= 0) {
        return;
    }
    asm volatile("1:\n\t"
                 "call %P1\n\t"
                 "dec %0\n\t"
                 "jnz 1b"
                 : "+r"(count)
                 : "i"(emptycall)
                 : "cc", "memory");
}

// A clock that does not advance gives an elapsed time of 0 or less. The wait then errs on the long
// side, as if the million calls had taken 1 us, so that a conversion still gets its settling time.
void calibrate()
{
    const i32 t0 = static_cast<i32>(uchrono::microsnow());
    callloop(kCalibrationCalls);
    const i32 t1 = static_cast<i32>(uchrono::microsnow());
    i32 elapsed = static_cast<i32>(static_cast<unsigned>(t1) - static_cast<unsigned>(t0));
    if (elapsed <= 0) {
        elapsed = 1;
    }
    const fpbits::u64 bits = fpbits::double_from_ratio(kCalibrationCalls, static_cast<fpbits::u64>(elapsed));
    __builtin_memcpy(&loopspermicro, &bits, sizeof bits);
}

// us x loopspermicro rounded to the nearest integer, ties to even, on the exact product; the low 32
// bits of it. Done in integers so that the host's x87 control word has no say in it.
i32 delaycount(i32 us)
{
    if (us <= 0) {
        return 0;
    }
    fpbits::u64 bits;
    __builtin_memcpy(&bits, &loopspermicro, sizeof bits);
    fpbits::i64 count;
    if (!fpbits::round_affine(bits, 0, static_cast<fpbits::u32>(us), 1, count)) {
        return 0;
    }
    return static_cast<i32>(count);
}

void delayus(i32 us)
{
    callloop(delaycount(us));
}

}  // namespace kvr::delay
