// The port trace as a Value Change Dump (IEEE 1364), for GTKWave and other waveform viewers.
//
// Timescale 1 ns. Each register of the board is an 8-bit variable that takes the byte of every
// access at its time, reads included (a read shows the byte read), and has a 1-bit companion
// NAME_strobe that is 1 for the nanosecond of each access, so that repeated equal bytes show as
// separate accesses. Ports outside the board's map that the trace touched get variables too.
#pragma once

#include <span>
#include <string>

#include "bench/portbus.h"

namespace kvrbench {

// `title` goes in the file's comment (e.g. "kvrio.dll on the KVR base board, 400 MHz").
std::string vcd_document(std::span<const bench::PortAccess> trace, const bench::Board& board, const std::string& title);

}  // namespace kvrbench
