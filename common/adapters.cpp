// The five adapter families around the seventeen core operations, linked unchanged into both
// libraries: pointer, stdcall, single, double and stdcall double. Each adapter converts its
// arguments, calls the core operation of its library and converts the result; it adds no behaviour
// of its own. Which member is which, and its ordinal, is in exports.h.
//
// No adapter lets the x87 unit touch an argument: a double or single argument is read as its bits,
// converted with integer instructions, and handed on in memory; a floating result is moved through
// the FPU only by exact 80-bit stores and loads. So neither the host's precision and rounding
// control nor its unmasked exceptions can change or interrupt a call.
#include "common/core.h"
#include "common/fpuret.h"

using namespace kvr;
using fpbits::i64;
using fpbits::u32;
using fpbits::u64;

namespace {

// A double that stands for a channel or a state: nearest integer, ties to even, as a 64-bit integer
// whose low 32 bits are used. Not a number, infinite, or 2^63 and beyond: -1, which every operation
// rejects (0 would act on channel 0). Hosts pass small whole numbers almost always: zero, or one
// below 2^20 in magnitude, whose fraction then lies in the high word alone, is read straight off the
// bits with 32-bit operations; anything else goes through the exact rounding.
i32 integer_of(Double64 value)
{
    constexpr u32 kBias = 1023, kHighFractionBits = 20;
    const u32 exponent = value.hi >> 20 & 0x7FF;
    if (value.lo == 0) {
        if ((value.hi << 1) == 0) {
            return 0;
        }
        if (exponent >= kBias && exponent < kBias + kHighFractionBits) {
            const u32 below_point = kBias + kHighFractionBits - exponent;  // 1..20
            const u32 significand = (value.hi & 0xFFFFF) | 0x100000;
            if ((significand & ((1u << below_point) - 1)) == 0) {
                const u32 magnitude = significand >> below_point;
                return static_cast<i32>(value.hi >> 31 ? 0u - magnitude : magnitude);
            }
        }
    }
    constexpr i64 kMinI64 = -0x7FFFFFFFFFFFFFFFll - 1;  // only -2^63 itself rounds to it
    i64 n;
    if (!fpbits::round_to_i64(value.bits(), n) || n == kMinI64) {
        return -1;
    }
    return static_cast<i32>(static_cast<u32>(n));
}

// A 32-bit integer result as a double: an integer load, exact for every 32-bit value whatever the
// control word, and raising nothing.
double double_of(i32 value)
{
    double r;
    asm("fildl %1" : "=t"(r) : "m"(value));
    return r;
}

// The double a core operation left in ST(0), stored as it stands. Always inlined into the adapter,
// right after the call: passed on as a double, the compiler would copy it through a 64-bit store.
__attribute__((always_inline)) inline fpbits::Ext80 take(double result)
{
    fpbits::Ext80 e;
    asm("fstpt %0" : "=m"(e) : "t"(result) : "st");
    return e;
}

// The result always came from an exact load of a double, so its 80-bit form narrows back to the
// same double bits without rounding.
u64 narrow(fpbits::Ext80 e)
{
    const u64 sign = static_cast<u64>(e.sign_exponent >> 15) << 63;
    const u32 exponent = e.sign_exponent & 0x7FFFu;
    if (exponent == 0x7FFF) {  // infinity or NaN: the fraction moves back, quiet bit and all
        return sign | fpbits::kExpMask | ((e.significand << 1) >> 12);
    }
    if (e.significand == 0) {
        return sign;
    }
    const int unbiased = static_cast<int>(exponent) - 16383;
    if (unbiased < -1022) {  // a subnormal double: the integer bit moves into the fraction
        return sign | (e.significand >> (11 + (-1022 - unbiased)));
    }
    return sign | (static_cast<u64>(unbiased + 1023) << 52) | ((e.significand << 1) >> 12);
}

__attribute__((always_inline)) inline float single_of(double result)
{
    return result_single(fpbits::double_to_single(narrow(take(result))));
}

// Results of pead and psad are kept in a small ring per function: each call takes the next slot, so
// a result stays readable until kResultSlots further calls of the same function, from any thread.
constexpr u32 kResultSlots = 16;

struct ResultRing {
    double slot[kResultSlots];
    u32 next;
};

ResultRing peadresults;
ResultRing psadresults;

constexpr double kErrResult = -777.0;

const double* keep(ResultRing& ring, fpbits::Ext80 result)
{
    const u64 bits = narrow(result);
    const u32 i = __atomic_fetch_add(&ring.next, 1u, __ATOMIC_RELAXED) % kResultSlots;
    __builtin_memcpy(&ring.slot[i], &bits, sizeof bits);
    return &ring.slot[i];
}

}  // namespace

extern "C" {

// Pointer family: register convention, a pointer to the double result in EAX.

KVR_REGCALL const double* pead(i32 channel) KVR_NAME(pead);
KVR_REGCALL const double* pead(i32 channel) { return keep(peadresults, take(ead(channel))); }

// The double at `volts` is read, never written. A null pointer gives -777.0 and touches nothing.
KVR_REGCALL const double* psad(i32 channel, const double* volts) KVR_NAME(psad);
KVR_REGCALL const double* psad(i32 channel, const double* volts)
{
    if (volts == nullptr) {
        return &kErrResult;
    }
    Double64 bits;
    __builtin_memcpy(&bits, volts, sizeof bits);
    return keep(psadresults, take(sad(channel, bits)));
}

// Double family: register convention with every argument a double, so all on the stack, the first
// pushed first, removed by the callee. Stdcall double family: the same in stdcall, the first argument
// at the lowest address. With one argument the two are the same machine-level call, which is stdcall
// with no register argument; with two they differ only in the order of the arguments, so the double
// family declares its two parameters in reverse.

#define KVR_BY_DOUBLE_INT(name, core)                                                                \
    KVR_STDCALL double name(Double64 channel) KVR_NAME(name);                                       \
    KVR_STDCALL double name(Double64 channel) { return double_of(core(integer_of(channel))); }
#define KVR_BY_DOUBLE_REAL(name, core)                                                               \
    KVR_STDCALL double name(Double64 channel) KVR_NAME(name);                                       \
    KVR_STDCALL double name(Double64 channel) { return core(integer_of(channel)); }
#define KVR_BY_DOUBLE_TEXT(name, core)                                                               \
    KVR_STDCALL text name(Double64 channel) KVR_NAME(name);                                         \
    KVR_STDCALL text name(Double64 channel) { return core(integer_of(channel)); }

KVR_BY_DOUBLE_REAL(eadouble, ead)
KVR_BY_DOUBLE_TEXT(neadouble, nead)
KVR_BY_DOUBLE_TEXT(nsadouble, nsad)
KVR_BY_DOUBLE_REAL(rsadouble, rsad)
KVR_BY_DOUBLE_INT(ebdouble, eb)
KVR_BY_DOUBLE_TEXT(nebdouble, neb)
KVR_BY_DOUBLE_TEXT(nsbdouble, nsb)
KVR_BY_DOUBLE_INT(rsbdouble, rsb)

KVR_BY_DOUBLE_REAL(stdeadouble, ead)
KVR_BY_DOUBLE_TEXT(stdneadouble, nead)
KVR_BY_DOUBLE_TEXT(stdnsadouble, nsad)
KVR_BY_DOUBLE_REAL(stdrsadouble, rsad)
KVR_BY_DOUBLE_INT(stdebdouble, eb)
KVR_BY_DOUBLE_TEXT(stdnebdouble, neb)
KVR_BY_DOUBLE_TEXT(stdnsbdouble, nsb)
KVR_BY_DOUBLE_INT(stdrsbdouble, rsb)

KVR_STDCALL double sadouble(Double64 volts, Double64 channel) KVR_NAME(sadouble);
KVR_STDCALL double sadouble(Double64 volts, Double64 channel)
{
    return sad(integer_of(channel), volts);
}

KVR_STDCALL double sbdouble(Double64 state, Double64 channel) KVR_NAME(sbdouble);
KVR_STDCALL double sbdouble(Double64 state, Double64 channel)
{
    return double_of(sb(integer_of(channel), integer_of(state)));
}

KVR_STDCALL double stdsadouble(Double64 channel, Double64 volts) KVR_NAME(stdsadouble);
KVR_STDCALL double stdsadouble(Double64 channel, Double64 volts)
{
    return sad(integer_of(channel), volts);
}

KVR_STDCALL double stdsbdouble(Double64 channel, Double64 state) KVR_NAME(stdsbdouble);
KVR_STDCALL double stdsbdouble(Double64 channel, Double64 state)
{
    return double_of(sb(integer_of(channel), integer_of(state)));
}

// Stdcall family: the core operation's arguments and result, unchanged.

#define KVR_STD1(type, name, core)                                                                   \
    KVR_STDCALL type name(i32 channel) KVR_NAME(name);                                              \
    KVR_STDCALL type name(i32 channel) { return core(channel); }

KVR_STD1(i32, stdea, ea)
KVR_STD1(text, stdnea, nea)
KVR_STD1(double, stdead, ead)
KVR_STD1(text, stdnead, nead)
KVR_STD1(text, stdnsa, nsa)
KVR_STD1(text, stdnsad, nsad)
KVR_STD1(i32, stdeb, eb)
KVR_STD1(text, stdneb, neb)
KVR_STD1(text, stdnsb, nsb)
KVR_STD1(double, stdrsad, rsad)
KVR_STD1(i32, stdrsb, rsb)

KVR_STDCALL i32 stdsa(i32 channel, i32 code) KVR_NAME(stdsa);
KVR_STDCALL i32 stdsa(i32 channel, i32 code) { return sa(channel, code); }

KVR_STDCALL double stdsad(i32 channel, Double64 volts) KVR_NAME(stdsad);
KVR_STDCALL double stdsad(i32 channel, Double64 volts) { return sad(channel, volts); }

KVR_STDCALL i32 stdsb(i32 channel, i32 state) KVR_NAME(stdsb);
KVR_STDCALL i32 stdsb(i32 channel, i32 state) { return sb(channel, state); }

KVR_STDCALL text stdtitre() KVR_NAME(stdtitre);
KVR_STDCALL text stdtitre() { return titre(); }

KVR_STDCALL text stddetail() KVR_NAME(stddetail);
KVR_STDCALL text stddetail() { return detail(); }

// Single family: stdcall; a single argument is widened exactly, a result rounded to the nearest
// single, ties to even.

KVR_STDCALL float stdeas(i32 channel) KVR_NAME(stdeas);
KVR_STDCALL float stdeas(i32 channel) { return single_of(ead(channel)); }

KVR_STDCALL float stdrsas(i32 channel) KVR_NAME(stdrsas);
KVR_STDCALL float stdrsas(i32 channel) { return single_of(rsad(channel)); }

KVR_STDCALL float stdsas(i32 channel, Single32 volts) KVR_NAME(stdsas);
KVR_STDCALL float stdsas(i32 channel, Single32 volts)
{
    return single_of(sad(channel, double64(fpbits::single_to_double(volts.bits))));
}

}  // extern "C"
