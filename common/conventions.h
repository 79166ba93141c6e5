// Calling conventions of the exported functions, as GCC attributes, and their undecorated names.
//
// Register convention: 32-bit and 16-bit integers and pointers in EAX, EDX, ECX in declaration order;
// doubles on the stack, the first one pushed first; the callee removes its stack arguments; results
// in EAX or ST(0). GCC's regparm(3) with stdcall matches it for every signature exported here except
// that it pushes several stack arguments in the opposite order; the double-family adapters with two
// arguments therefore declare their parameters reversed.
//
// stdcall: everything on the stack, the first argument at the lowest address, the callee removes it.
//
// A double argument is declared as Double64, its 8 bytes as they lie on the stack (low half at the
// lower address), never as a double: the compiler copies a double argument through the x87 unit,
// which quiets a signalling NaN and raises an exception in a host that has unmasked it. A struct is
// only ever copied with integer moves. Under regparm a struct would go into a free register, so
// functions that take one use a convention with no register left for it (KVR_REGCALL1, stdcall).
//
// Every exported function gets its assembler name from KVR_NAME, so the symbol, and the export name
// the .def file maps to it, carries no @N suffix (i386 C symbols begin with an underscore, which the
// linker takes off again for the export name).
#pragma once

namespace kvr {

struct Double64 {
    unsigned int lo, hi;
    constexpr unsigned long long bits() const { return static_cast<unsigned long long>(hi) << 32 | lo; }
};
constexpr Double64 double64(unsigned long long bits)
{
    return {static_cast<unsigned int>(bits), static_cast<unsigned int>(bits >> 32)};
}

// A single argument: its 4 bytes.
struct Single32 {
    unsigned int bits;
};

}  // namespace kvr

#define KVR_REGCALL __attribute__((regparm(3), stdcall))
// The register convention for a function whose only register argument comes before its double:
// one register, then the double's 8 bytes on the stack (sad).
#define KVR_REGCALL1 __attribute__((regparm(1), stdcall))
#define KVR_STDCALL __attribute__((stdcall))
#define KVR_NAME(name) __asm__("_" #name)
