// GNU ld link map reader. A symbol line holds exactly two fields, the address and the name:
//                 0x66281000                _emptycall
// Section, input-file and assignment lines have other shapes and are skipped.
#include <cstdlib>
#include <fstream>
#include <sstream>

#include "bench/machine.h"

namespace bench {

namespace {

constexpr uint64_t kMaxAddress = 0xFFFFFFFFu;

// i386 C symbols carry a leading underscore in the map; callers may use either spelling.
bool same_symbol(const std::string& in_map, const std::string& wanted) {
    if (in_map == wanted) return true;
    if (in_map.size() == wanted.size() + 1 && in_map[0] == '_') return in_map.compare(1, std::string::npos, wanted) == 0;
    if (wanted.size() == in_map.size() + 1 && wanted[0] == '_') return wanted.compare(1, std::string::npos, in_map) == 0;
    return false;
}

}  // namespace

std::optional<uint32_t> map_symbol(const std::string& map_path, const std::string& symbol) {
    std::ifstream in(map_path);
    if (!in) throw BenchError("cannot open link map " + map_path);
    std::optional<uint32_t> loose;  // a match that needed the underscore added or removed
    std::string line, addr, name, extra;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        if (!(fields >> addr >> name) || (fields >> extra)) continue;
        if (addr.size() < 3 || addr.compare(0, 2, "0x") != 0) continue;
        char* end = nullptr;
        const unsigned long long value = std::strtoull(addr.c_str() + 2, &end, 16);
        if (*end != '\0' || value > kMaxAddress) continue;
        if (name == symbol) return static_cast<uint32_t>(value);
        if (!loose && same_symbol(name, symbol)) loose = static_cast<uint32_t>(value);
    }
    return loose;
}

}  // namespace bench
