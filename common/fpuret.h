// Handing a floating-point result to the host in ST(0).
//
// The result is loaded from its exact 80-bit form: an 80-bit load neither rounds (so the host's
// precision and rounding control play no part) nor raises an exception, not even for a signalling
// NaN or a subnormal, which a 64-bit load would report to a host that has unmasked them.
#pragma once

#include "common/fpbits.h"

namespace kvr {

inline double result_double(fpbits::u64 bits)
{
    const fpbits::Ext80 e = fpbits::widen(bits);
    double r;
    asm("fldt %1" : "=t"(r) : "m"(e));
    return r;
}

inline float result_single(fpbits::u32 bits)
{
    const fpbits::Ext80 e = fpbits::widen(fpbits::single_to_double(bits));
    float r;
    asm("fldt %1" : "=t"(r) : "m"(e));
    return r;
}

}  // namespace kvr
