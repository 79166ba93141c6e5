#include "vcd.h"

#include <algorithm>
#include <map>
#include <vector>

#include "boardsetup.h"
#include "text.h"

namespace kvrbench {

namespace {

// Identifier codes are printable ASCII from '!' to '~'; more than 94 variables take two characters.
constexpr char kFirstIdChar = '!', kLastIdChar = '~';
constexpr int kIdChars = kLastIdChar - kFirstIdChar + 1;
// A strobe is high for one time unit; two accesses to one register must be two units apart for the
// strobe to fall in between, so closer accesses (a few per nanosecond at 3 GHz) are drawn that far
// apart, and the file says so.
constexpr uint64_t kStrobeNs = 1, kMinSpacingNs = 2;

std::string id_code(int n)
{
    std::string id;
    do {
        id += static_cast<char>(kFirstIdChar + n % kIdChars);
        n /= kIdChars;
    } while (n > 0);
    return id;
}

std::string scope_name(const char* board_name)
{
    std::string s = board_name;
    std::replace(s.begin(), s.end(), '-', '_');
    return s;
}

struct Variable {
    std::string name;
    std::string value_id, strobe_id;
    uint64_t last_at = 0;
    bool accessed = false;
};

struct Change {
    uint64_t at;
    size_t order;   // keeps the trace's order within one instant
    std::string text;
};

}  // namespace

std::string vcd_document(std::span<const bench::PortAccess> trace, const bench::Board& board, const std::string& title)
{
    std::vector<uint16_t> ports = register_ports(board);
    for (const bench::PortAccess& a : trace)
        if (std::find(ports.begin(), ports.end(), a.port) == ports.end()) ports.push_back(a.port);

    std::map<uint16_t, Variable> vars;
    int next_id = 0;
    for (const uint16_t port : ports) {
        const char* reg = board.register_name(port);
        Variable v;
        v.name = reg ? reg : strf("port_0x%03X", port);
        v.value_id = id_code(next_id++);
        v.strobe_id = id_code(next_id++);
        vars.emplace(port, v);
    }

    std::vector<Change> changes;
    bool moved = false;
    uint64_t end = 0;
    for (size_t k = 0; k < trace.size(); ++k) {
        const bench::PortAccess& a = trace[k];
        Variable& v = vars.at(a.port);
        uint64_t at = a.ns;
        if (v.accessed && at < v.last_at + kMinSpacingNs) {
            at = v.last_at + kMinSpacingNs;
            moved = true;
        }
        v.accessed = true;
        v.last_at = at;
        changes.push_back({at, 3 * k, "b" + binary_byte(a.value) + " " + v.value_id});
        changes.push_back({at, 3 * k + 1, "1" + v.strobe_id});
        changes.push_back({at + kStrobeNs, 3 * k + 2, "0" + v.strobe_id});
        end = std::max(end, at + kStrobeNs);
    }
    std::stable_sort(changes.begin(), changes.end(), [](const Change& x, const Change& y) {
        return x.at != y.at ? x.at < y.at : x.order < y.order;
    });

    std::string s;
    s += "$version kvrbench $end\n";
    s += "$comment " + title + ". Every port access of the virtual bench, reads included: NAME holds the byte "
         "written or read, NAME_strobe is 1 for the nanosecond of each access.";
    if (moved) s += " Accesses to one register less than 2 ns apart are drawn 2 ns apart.";
    s += " $end\n";
    s += "$timescale 1ns $end\n";
    s += "$scope module " + scope_name(board.name()) + " $end\n";
    for (const uint16_t port : ports) {
        const Variable& v = vars.at(port);
        s += "$var wire 8 " + v.value_id + " " + v.name + " [7:0] $end\n";
        s += "$var wire 1 " + v.strobe_id + " " + v.name + "_strobe $end\n";
    }
    s += "$upscope $end\n$enddefinitions $end\n";
    s += "#0\n$dumpvars\n";
    for (const uint16_t port : ports) {
        s += "bxxxxxxxx " + vars.at(port).value_id + "\n";
        s += "0" + vars.at(port).strobe_id + "\n";
    }
    s += "$end\n";
    uint64_t now = 0;
    for (const Change& c : changes) {
        if (c.at != now) {
            s += "#" + std::to_string(c.at) + "\n";
            now = c.at;
        }
        s += c.text + "\n";
    }
    if (now < end) s += "#" + std::to_string(end) + "\n";
    return s;
}

}  // namespace kvrbench
