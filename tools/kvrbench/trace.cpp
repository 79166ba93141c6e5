#include "trace.h"

#include "text.h"

namespace kvrbench {

namespace {
constexpr size_t kTimeWidth = 13, kStepWidth = 9, kRegisterWidth = 7;
}  // namespace

std::string trace_line(const bench::PortAccess& a, const bench::Board& board, std::optional<uint64_t> previous_ns)
{
    const char* reg = board.register_name(a.port);
    const std::string step = previous_ns && a.ns >= *previous_ns ? "+" + us_from_ns(a.ns - *previous_ns) : "";
    std::string s = pad_left(us_from_ns(a.ns), kTimeWidth) + " us  " + pad_right(step, kStepWidth) +
                    (a.dir == bench::Dir::In ? "in  " : "out ") + strf("0x%03X ", a.port) +
                    pad_right(reg ? reg : "?", kRegisterWidth) + (a.dir == bench::Dir::In ? "-> " : "<- ") +
                    hex_byte(a.value);
    if (a.flagged) s += "  FLAGGED";
    if (!a.note.empty()) s += (a.flagged ? ": " : "  ") + a.note;
    return s;
}

void print_trace(std::ostream& out, std::span<const bench::PortAccess> accesses, const bench::Board& board,
                 std::string_view indent)
{
    if (accesses.empty()) {
        out << indent << "(no port access)\n";
        return;
    }
    std::optional<uint64_t> previous;
    for (const bench::PortAccess& a : accesses) {
        out << indent << trace_line(a, board, previous) << '\n';
        previous = a.ns;
    }
}

}  // namespace kvrbench
