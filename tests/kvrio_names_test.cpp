// kvrio channel names and identification: the exact Windows-1252 bytes (é is the one byte 0xE9), the
// empty text for a channel that does not exist, and texts that stay readable after later calls.
#include <climits>
#include <string>

#include "dll_fixture.h"

namespace kvrtest {
namespace {

using bench::KvrBoard;

class KvrioNames : public ::testing::Test {
protected:
    void SetUp() override
    {
        dll = load_kvrio(board);
        dll.take_trace();
    }

    // The text a naming call returns; the pointer is never null and naming never touches the board.
    std::string name(const char* fn, std::initializer_list<bench::Arg> args = {})
    {
        const bench::CallOutcome r = dll.call(fn, args);
        EXPECT_NE(r.eax, 0u) << fn << " returned a null pointer";
        EXPECT_TRUE(dll.take_trace().empty()) << fn << " touched the board";
        return r.eax ? dll.text(r) : std::string("(null)");
    }
    std::string name(const char* fn, int channel) { return name(fn, {bench::i32(channel)}); }

    std::shared_ptr<KvrBoard> board = std::make_shared<KvrBoard>();
    LoadedDll dll;
};

struct Numbered {
    const char* fn;
    int count;
    std::string prefix, suffix;
};
const Numbered kNumbered[] = {
    {"nea", 8, "entr\xE9" "e analogique ", ""},
    {"nead", 8, "EA ", " (volts)"},
    {"neb", 16, "entr\xE9" "e logique ", ""},
    {"nsb", 16, "sortie logique ", ""},
};

// Prefix, the number in decimal without leading zero or sign, suffix; the whole 32-bit channel is
// tested, so any channel outside 0..count-1 gets the empty text.
TEST_F(KvrioNames, NumberedTextsOfEveryChannelAndEmptyOutside)
{
    for (const Numbered& n : kNumbered) {
        for (int c = 0; c < n.count; ++c)
            EXPECT_EQ(name(n.fn, c), n.prefix + std::to_string(c) + n.suffix) << n.fn << "(" << c << ")";
        for (int c : {n.count, n.count + 1, 16, 99, -1, -n.count, 256, 256 + 3, 65536, 65536 + 3, INT_MIN, INT_MAX})
            EXPECT_EQ(name(n.fn, c), "") << n.fn << "(" << c << ")";
    }
}

// The é is one byte: the name of analog input 3 is 19 bytes before its zero.
TEST_F(KvrioNames, AccentedLetterIsOneByteE9)
{
    const std::string nea3 = name("nea", 3);
    EXPECT_EQ(nea3.size(), 19u);
    EXPECT_EQ(nea3, "entr\xE9" "e analogique 3");
    EXPECT_EQ(static_cast<unsigned char>(nea3.at(4)), 0xE9);
    EXPECT_EQ(name("neb", 15), "entr\xE9" "e logique 15");
    EXPECT_EQ(name("nsb", 10), "sortie logique 10");
    EXPECT_EQ(name("nead", 0), "EA 0 (volts)");
}

// nsa compares the low 16 bits of the channel only; nsad the whole number.
TEST_F(KvrioNames, AnalogOutputNames)
{
    const std::string nsa0 = "sortie analogique 0", nsa1 = "sortie analogique 1";
    const std::string nsad0 = "sortie 0 (volts)", nsad1 = "sortie 1 (volts)";
    struct Case {
        int channel;
        std::string nsa, nsad;
    };
    const Case cases[] = {
        {0, nsa0, nsad0},        {1, nsa1, nsad1},       {2, "", ""},
        {-1, "", ""},            {65536, nsa0, ""},      {65537, nsa1, ""},
        {-65536, nsa0, ""},      {-65535, nsa1, ""},     {65538, "", ""},
        {0x7FFF0001, nsa1, ""},  {INT_MIN, nsa0, ""},    {0xFFFF, "", ""},
        {0x8000, "", ""},        {0x10002, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.channel);
        EXPECT_EQ(name("nsa", c.channel), c.nsa);
        EXPECT_EQ(name("nsad", c.channel), c.nsad);
    }
}

TEST_F(KvrioNames, IdentificationTexts)
{
    EXPECT_EQ(name("titre"), "KVR");
    EXPECT_EQ(name("detail"), "DLL pour KVR, par Zembrac, le 22 janvier 2003");
}

// A text keeps its bytes after the call has returned and after later calls of the same and other
// naming operations for other channels, invalid ones included.
TEST_F(KvrioNames, TextsStayReadableAfterLaterCalls)
{
    struct Kept {
        uint32_t address;
        std::string text;
    };
    std::vector<Kept> kept;
    for (const Numbered& n : kNumbered) {
        for (int c : {0, n.count - 1}) {
            const auto r = dll.call(n.fn, {bench::i32(c)});
            kept.push_back({r.eax, n.prefix + std::to_string(c) + n.suffix});
        }
    }
    for (const char* fn : {"nsa", "nsad"}) {
        kept.push_back({dll.call(fn, {bench::i32(1)}).eax, std::string(fn) == "nsa" ? "sortie analogique 1" : "sortie 1 (volts)"});
    }
    kept.push_back({dll.call("titre", {}).eax, "KVR"});
    kept.push_back({dll.call("detail", {}).eax, "DLL pour KVR, par Zembrac, le 22 janvier 2003"});

    for (const Numbered& n : kNumbered)
        for (int c : {1, 5, -1, n.count, 3}) name(n.fn, c);
    for (int c : {0, 2, 65537}) {
        name("nsa", c);
        name("nsad", c);
    }
    // Other operations in between, the board ones included.
    dll.call("sa", {bench::i32(0), bench::i32(9)});
    dll.call("sb", {bench::i32(4), bench::i32(1)});
    dll.call("ea", {bench::i32(6)});

    for (const Kept& k : kept) EXPECT_EQ(dll.machine->read_cstring(k.address), k.text);
}

}  // namespace
}  // namespace kvrtest
