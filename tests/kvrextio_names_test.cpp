// kvrextio channel names and identification texts: exact Windows-1252 bytes (é is 0xE9).
#include <climits>

#include "dll_fixture.h"

namespace kvrtest {
namespace {

using bench::KvrSupBoard;

// Every text is read only after all the calls have been made: a text must stay readable after its
// call, whatever is called next. No naming call touches a port.
TEST(KvrextioNames, TextsPerChannel)
{
    const struct {
        const char* op;
        int ch;
        std::string text;
    } cases[] = {
        {"nea", 0, "entr\xE9" "e analogique 0"},
        {"nea", 3, "entr\xE9" "e analogique 3"},
        {"nea", 4, ""},  // the base board names inputs up to 7
        {"nea", -1, ""},
        {"nead", 0, "EA 0 (volts)"},
        {"nead", 3, "EA 3 (volts)"},
        {"nead", 4, ""},
        {"nead", INT_MIN, ""},
        {"neb", 0, "entr\xE9" "e logique 0"},
        {"neb", 7, "entr\xE9" "e logique 7"},
        {"neb", 8, ""},
        {"neb", -1, ""},
        {"nsb", 0, "sortie logique 0"},
        {"nsb", 7, "sortie logique 7"},
        {"nsb", 8, ""},
        {"nsb", -8, ""},
        // nsa looks at the low 16 bits only.
        {"nsa", 0, "sortie analogique 0"},
        {"nsa", 1, "sortie analogique 1"},
        {"nsa", 2, "fr\xE9" "quence"},
        {"nsa", 3, ""},
        {"nsa", -1, ""},
        {"nsa", 65536, "sortie analogique 0"},
        {"nsa", 65538, "fr\xE9" "quence"},
        {"nsa", -65534, "fr\xE9" "quence"},
        {"nsa", 65539, ""},
        // nsad looks at the whole number.
        {"nsad", 0, "sortie 0 (0..10 volts)"},
        {"nsad", 1, "sortie 1 (-5..+5 volts)"},
        {"nsad", 2, "fr\xE9" "quence (kHz)"},
        {"nsad", 3, ""},
        {"nsad", -1, ""},
        {"nsad", 65536, ""},
        {"nsad", 65538, ""},
    };
    auto board = std::make_shared<KvrSupBoard>();
    LoadedDll dll = load_kvrextio(board);
    dll.take_trace();
    std::vector<uint32_t> results;
    for (const auto& c : cases) results.push_back(dll.call(c.op, {bench::i32(c.ch)}).eax);
    const uint32_t titre = dll.call("titre", {}).eax;
    const uint32_t detail = dll.call("detail", {}).eax;
    EXPECT_TRUE(dll.take_trace().empty());

    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(dll.machine->read_cstring(results[i]), cases[i].text) << cases[i].op << "(" << cases[i].ch << ")";
    }
    EXPECT_EQ(dll.machine->read_cstring(titre), "KVR-sup");
    EXPECT_EQ(dll.machine->read_cstring(detail), "DLL pour KVR-Sup, par Zembrac, le 22 janvier 2003");
}

}  // namespace
}  // namespace kvrtest
