// KVR-Sup extended board: register map. Eight byte-wide ports; no register is read back after a
// write, so the library keeps shadows of what it wrote.
#pragma once

#include "common/port.h"

namespace kvr::kvrextio {

constexpr u16 MUXA = 0x300;    // (W) analog input select
constexpr u16 ADCA = 0x301;    // (R) converter result of the selected input
constexpr u16 DAC0 = 0x302;    // (W) code of analog output 0 (0..10 V)
constexpr u16 DOUTL = 0x303;   // (W) digital outputs 0..7
constexpr u16 DINL = 0x304;    // (R) digital inputs 0..7
constexpr u16 DAC1 = 0x305;    // (W) code of analog output 1 (-5..+5 V)
constexpr u16 TMR0 = 0x30C;    // (W) 8254 counter 0: count, low byte then high byte
constexpr u16 TMRCTL = 0x30F;  // (W) 8254 control word

// Select codes written to MUXA for inputs 0, 1, 2, 3.
constexpr u8 kSelectCode[4] = {4, 8, 1, 2};

}  // namespace kvr::kvrextio
