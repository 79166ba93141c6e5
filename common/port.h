// Byte-wide x86 port I/O: the only code in either library that touches a board.
//
// Each call is one `in` or `out` instruction, made at once and in program order: the asm statements
// are volatile and clobber memory, so the compiler neither drops, merges nor moves them across the
// stores to the output shadows. The process needs I/O privilege for the ports (on NT-family Windows
// a port-access driver grants it); the library asks the system for nothing.
#pragma once

namespace kvr {

using u8 = unsigned char;
using u16 = unsigned short;
using u32 = unsigned int;

inline u8 portin(u16 port)
{
    u8 value;
    asm volatile("inb %w1, %b0" : "=a"(value) : "Nd"(port) : "memory");
    return value;
}

// Only the low 8 bits of `value` reach the bus.
inline void portout(u16 port, u32 value)
{
    asm volatile("outb %b0, %w1" : : "a"(static_cast<u8>(value)), "Nd"(port) : "memory");
}

}  // namespace kvr
