// The port-bus trace as text: one access a line with its virtual time, the step since the access
// before it, direction, port, register name, value and the board's remark.
#pragma once

#include <optional>
#include <ostream>
#include <span>
#include <string>
#include <string_view>

#include "bench/portbus.h"

namespace kvrbench {

// "   1010130.377 us  +7.020   in  0x311 ADCB  -> 0xB4  input 5, settled 7020 ns"
std::string trace_line(const bench::PortAccess& a, const bench::Board& board, std::optional<uint64_t> previous_ns);

// Every access on its own line after `indent`; "(no port access)" for none.
void print_trace(std::ostream& out, std::span<const bench::PortAccess> accesses, const bench::Board& board,
                 std::string_view indent);

}  // namespace kvrbench
