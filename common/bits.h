// Bit routines for the digital output shadows, shared by both libraries.
#pragma once

namespace kvr {

using u8 = unsigned char;
using u16 = unsigned short;

// Entry k is 2 to the power k.
inline constexpr u8 bitmasks[8] = {0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80};

// Bit `bit` of `value`, as 0 or 1. Callers pass a byte widened with zeros and a bit number 0..7.
inline u8 bitof(u16 value, u8 bit)
{
    return static_cast<u8>((value >> bit) & 1);
}

// Sets or clears one bit of a shadow byte; no other bit changes.
inline void setbit(u8& target, u8 bit, bool on)
{
    if (on) {
        target = static_cast<u8>(target | bitmasks[bit]);
    } else {
        target = static_cast<u8>(target & ~bitmasks[bit]);
    }
}

}  // namespace kvr
