// KVR base board: register map. Ten byte-wide ports; the library uses no other address.
// Write registers are never read and read registers never written. The output registers cannot be
// read back, so the library keeps a shadow of each.
#pragma once

#include "common/port.h"

namespace kvr::kvrio {

constexpr u16 MUXA = 0x300;   // (W) input select for analog inputs 0..3
constexpr u16 ADCA = 0x301;   // (R) converter data for inputs 0..3
constexpr u16 DAC0 = 0x302;   // (W) code 0..255 of analog output 0
constexpr u16 DOUTL = 0x303;  // (W) digital outputs 0..7, bit n is output n
constexpr u16 DINL = 0x304;   // (R) digital inputs 0..7, bit n is input n
constexpr u16 MUXB = 0x310;   // (W) input select for analog inputs 4..7
constexpr u16 ADCB = 0x311;   // (R) converter data for inputs 4..7
constexpr u16 DAC1 = 0x312;   // (W) code 0..255 of analog output 1
constexpr u16 DOUTH = 0x313;  // (W) digital outputs 8..15, bit n-8 is output n
constexpr u16 DINH = 0x314;   // (R) digital inputs 8..15, bit n-8 is input n

// Select codes written to MUXA / MUXB: the inputs of a group are selected by 4, 8, 1, 2 (in that
// order of inputs, not 1, 2, 4, 8).
constexpr u8 kSelectCode[4] = {4, 8, 1, 2};

}  // namespace kvr::kvrio
