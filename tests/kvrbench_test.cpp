// kvrbench, the bench on the command line: its call syntax, its decoding of the libraries' texts,
// what `run` prints and writes (trace, VCD, SVG), the survey, the adapter table, and its errors,
// which are checked on the built program itself for their message and exit code.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "boardsetup.h"
#include "callsyntax.h"
#include "commands.h"
#include "cp1252.h"
#include "errors.h"

namespace {

namespace fs = std::filesystem;
using namespace kvrbench;

std::string dll(const std::string& lib) { return std::string(KVR_DLL_DIR) + "/" + lib + ".dll"; }

fs::path scratch_dir()
{
    const fs::path dir = fs::temp_directory_path() / ("kvrbench_test_" + std::to_string(::getpid()));
    fs::create_directories(dir);
    return dir;
}

std::string slurp(const fs::path& p)
{
    std::ifstream f(p, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

struct Outcome {
    int code;
    std::string out, err;
};

// The tool in-process.
Outcome tool(std::vector<std::string> args)
{
    std::ostringstream out, err;
    Io io{out, err, false};
    const int code = kvrbench_main(args, io);
    return {code, out.str(), err.str()};
}

// The built program, as a user runs it.
Outcome program(const std::string& args)
{
    const fs::path dir = scratch_dir();
    const std::string cmd = std::string(KVRBENCH_EXE) + " " + args + " >" + (dir / "out").string() + " 2>" +
                            (dir / "err").string();
    const int status = std::system(cmd.c_str());
    EXPECT_TRUE(WIFEXITED(status)) << cmd << " did not exit normally (status " << status << ")";
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, slurp(dir / "out"), slurp(dir / "err")};
}

// ---- call syntax -------------------------------------------------------------------------------

TEST(CallSyntax, ReadsCallsAndTypesTheirArguments)
{
    struct Case {
        const char* text;
        const char* shown;   // the call as the tool shows it back
    };
    const Case cases[] = {
        {"ead(2)", "ead(2)"},
        {"  stdsad( 0 ,4.5 ) ", "stdsad(0, 4.5)"},
        {"#27(5)", "#27 stdead(5)"},
        {"titre()", "titre()"},
        {"detail", "detail()"},
        {"ea(0xFFFFFFFF)", "ea(-1)"},
        {"nsa(65537)", "nsa(65537)"},
        {"ea(-2147483648)", "ea(-2147483648)"},
        {"eadouble(-0)", "eadouble(-0)"},
        {"sadouble(1, nan)", "sadouble(1, nan)"},
        {"stdsadouble(-inf, 1e300)", "stdsadouble(-inf, 1.0000000000000001e+300)"},
        {"stdsas(0, 0.1)", "stdsas(0, 0.100000001)"},  // rounded to the nearest single
        {"psad(1, 2.5)", "psad(1, &2.5)"},
        {"psad(1, NULL)", "psad(1, null)"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(show_call(parse_call(c.text)), c.shown);
    }
    const Call stdsad = parse_call("stdsad(0, 4.5)");
    ASSERT_EQ(stdsad.args.size(), 2u);
    EXPECT_EQ(stdsad.args[0].kind, 'i');
    EXPECT_EQ(stdsad.args[1].kind, 'd');
    EXPECT_EQ(stdsad.args[1].d, 4.5);
    EXPECT_TRUE(std::signbit(parse_call("eadouble(-0)").args[0].d));
    EXPECT_EQ(parse_call("stdsas(0, 4.5)").args[1].kind, 's');
}

TEST(CallSyntax, RejectsWhatItCannotCallWithAClearMessage)
{
    struct Case {
        const char* text;
        const char* message;
    };
    const Case cases[] = {
        {"foo(1)", "unknown export 'foo'"},
        {"EAD(2)", "export names are lower case: ead"},
        {"#59(1)", "no export has the ordinal 59"},
        {"#0", "no export has the ordinal 0"},
        {"ead()", "ead(int) takes 1 argument, got 0"},
        {"ead(1, 2)", "ead(int) takes 1 argument, got 2"},
        {"stdsad(1)", "stdsad(int, double) takes 2 arguments, got 1"},
        {"ead(2.5)", "argument 1 of ead(int) must be an integer"},
        {"ead(two)", "argument 1 of ead(int) must be an integer"},
        {"ea(4294967296)", "does not fit 32 bits"},
        {"sad(0, volts)", "argument 2 of sad(int, double) must be a number"},
        {"stdsas(0, 1e39)", "out of the range of a single"},
        {"psad(0, here)", "must be a number to point to, or null"},
        {"ead(2", "missing ')'"},
        {"ead(1,,2)", "an empty argument"},
        {"(2)", "no export name"},
        {"ead[2]", "expected '(' after the name"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        try {
            parse_call(c.text);
            ADD_FAILURE() << "accepted";
        } catch (const UsageError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
}

// ---- texts and scales --------------------------------------------------------------------------

TEST(Windows1252, DecodesToUtf8)
{
    EXPECT_EQ(cp1252_to_utf8("entr\xE9" "e analogique 0"), "entrée analogique 0");
    EXPECT_EQ(cp1252_to_utf8("fr\xE9quence (kHz)"), "fréquence (kHz)");
    EXPECT_EQ(cp1252_to_utf8("\x80 \x92 \xFF"), "\u20AC \u2019 \u00FF");  // the code page's own bytes
    EXPECT_EQ(cp1252_to_utf8("\x81"), "\uFFFD");                         // undefined in the code page
}

TEST(InputScales, VoltsBecomeTheNearestCodeOfThatInput)
{
    struct Case {
        BoardKind board;
        int input;
        double volts;
        int code;  // -1: outside the scale
    };
    const Case cases[] = {
        {BoardKind::Kvr, 0, 0.0, 0},          {BoardKind::Kvr, 7, 2.46, 255},
        {BoardKind::Kvr, 3, 1.2, 124},        {BoardKind::Kvr, 0, 2.47, -1},
        {BoardKind::Kvr, 0, -0.01, -1},       {BoardKind::KvrSup, 1, 2.46, 255},
        {BoardKind::KvrSup, 2, 0.0, 123},     {BoardKind::KvrSup, 3, -4.8046875, 0},
        {BoardKind::KvrSup, 3, 5.15625, 255}, {BoardKind::KvrSup, 2, 0.1953125, 128},
        {BoardKind::KvrSup, 2, -5.0, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << facts(c.board).name << " input " << c.input << " " << c.volts << " V");
        if (c.code < 0) {
            EXPECT_THROW(code_for_volts(c.board, c.input, c.volts), UsageError);
        } else {
            EXPECT_EQ(code_for_volts(c.board, c.input, c.volts), c.code);
        }
    }
    EXPECT_THROW(code_for_volts(BoardKind::KvrSup, 4, 1.0), UsageError);  // no input 4 on KVR-Sup
}

// ---- run: trace, VCD, SVG ----------------------------------------------------------------------

// Value changes of one VCD variable, by name: (time, value) in file order.
std::vector<std::pair<uint64_t, std::string>> vcd_changes(const std::string& vcd, const std::string& name)
{
    std::istringstream in(vcd);
    std::string line, id;
    uint64_t now = 0;
    std::vector<std::pair<uint64_t, std::string>> changes;
    bool dumping = false;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string w[6];
        words >> w[0] >> w[1] >> w[2] >> w[3] >> w[4] >> w[5];
        if (w[0] == "$var" && w[4] == name) id = w[3];
        if (w[0] == "$enddefinitions") dumping = true;
        if (!dumping) continue;
        if (line[0] == '#') now = std::stoull(line.substr(1));
        if (line[0] == 'b' && w[1] == id) changes.emplace_back(now, w[0].substr(1));
        if ((line[0] == '0' || line[0] == '1') && line.substr(1) == id) changes.emplace_back(now, line.substr(0, 1));
    }
    return changes;
}

// Elements open and close in order; attributes are quoted; the one root closes last.
::testing::AssertionResult well_formed_xml(const std::string& doc)
{
    std::vector<std::string> open;
    size_t i = 0, roots = 0;
    while ((i = doc.find('<', i)) != std::string::npos) {
        const size_t end = doc.find('>', i);
        if (end == std::string::npos) return ::testing::AssertionFailure() << "unclosed tag at " << i;
        const std::string tag = doc.substr(i + 1, end - i - 1);
        i = end + 1;
        if (tag.empty()) return ::testing::AssertionFailure() << "empty tag";
        if (tag[0] == '?' || tag[0] == '!') continue;
        if (std::count(tag.begin(), tag.end(), '"') % 2) return ::testing::AssertionFailure() << "quotes in <" << tag;
        if (tag[0] == '/') {
            if (open.empty() || open.back() != tag.substr(1))
                return ::testing::AssertionFailure() << "</" << tag.substr(1) << "> closes "
                                                     << (open.empty() ? "nothing" : open.back());
            open.pop_back();
            continue;
        }
        const std::string name = tag.substr(0, tag.find_first_of(" /\n"));
        if (open.empty()) ++roots;
        if (tag.back() != '/') open.push_back(name);
    }
    if (!open.empty()) return ::testing::AssertionFailure() << "<" << open.back() << "> is never closed";
    if (roots != 1) return ::testing::AssertionFailure() << roots << " root elements";
    for (size_t amp = doc.find('&'); amp != std::string::npos; amp = doc.find('&', amp + 1))
        if (doc.compare(amp, 4, "&lt;") && doc.compare(amp, 4, "&gt;") && doc.compare(amp, 5, "&amp;") &&
            doc.compare(amp, 6, "&quot;"))
            return ::testing::AssertionFailure() << "bare & at " << amp;
    return ::testing::AssertionSuccess();
}

TEST(Run, AConversionOnKvrShowsItsThreeAccessesInTraceVcdAndSvg)
{
    const fs::path dir = scratch_dir();
    const std::string vcd_path = (dir / "ea.vcd").string(), svg_path = (dir / "ea.svg").string();
    const Outcome r = tool({"run", dll("kvrio"), "--code", "2=72", "ead(2)", "--vcd", vcd_path, "--svg", svg_path});
    ASSERT_EQ(r.code, kExitOk) << r.err << r.out;
    EXPECT_EQ(r.err, "");

    // Result in full precision, the convention, and the three accesses with register names.
    EXPECT_NE(r.out.find("result    0.69458823529411762  (double)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("0 bytes removed (the export table says 0)"), std::string::npos);
    const std::regex select(R"(\d+\.\d{3} us +out 0x300 MUXA +<- 0x01  select input 2)");
    const std::regex discard(R"(\d+\.\d{3} us  \+0\.\d{3} +in  0x301 ADCA +-> 0xA5  discarded)");
    const std::regex read(R"(\d+\.\d{3} us  \+7\.\d{3} +in  0x301 ADCA +-> 0x48  input 2, settled \d+ ns)");
    EXPECT_TRUE(std::regex_search(r.out, select)) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, discard)) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, read)) << r.out;
    EXPECT_NE(r.out.find("no breach, none flagged"), std::string::npos);

    const std::string vcd = slurp(vcd_path);
    EXPECT_NE(vcd.find("$timescale 1ns $end"), std::string::npos);
    for (const char* reg : {"MUXA", "ADCA", "DAC0", "DOUTL", "DINL", "MUXB", "ADCB", "DAC1", "DOUTH", "DINH"})
        EXPECT_TRUE(std::regex_search(vcd, std::regex(std::string(R"(\$var wire 8 \S+ )") + reg + R"( \[7:0\] \$end)")))
            << reg;
    EXPECT_NE(vcd.find("$enddefinitions $end"), std::string::npos);
    // The select, then the discarded read and the code read 7 µs later, each with its strobe.
    const auto muxa = vcd_changes(vcd, "MUXA");
    const auto adca = vcd_changes(vcd, "ADCA");
    const auto adca_strobe = vcd_changes(vcd, "ADCA_strobe");
    ASSERT_EQ(muxa.size(), 2u);  // x at 0, then the select code
    EXPECT_EQ(muxa[1].second, "00000001");
    ASSERT_EQ(adca.size(), 3u);
    EXPECT_EQ(adca[1].second, "10100101");
    EXPECT_EQ(adca[2].second, "01001000");
    EXPECT_GT(adca[1].first, muxa[1].first);
    EXPECT_GE(adca[2].first - adca[1].first, 7000u);
    EXPECT_LT(adca[2].first - adca[1].first, 7100u);
    ASSERT_EQ(adca_strobe.size(), 5u);  // 0 at the start, then up and down at each read
    EXPECT_EQ(adca_strobe[1], std::make_pair(adca[1].first, std::string("1")));
    EXPECT_EQ(adca_strobe[2], std::make_pair(adca[1].first + 1, std::string("0")));
    // The start-up writes are in the file too.
    EXPECT_EQ(vcd_changes(vcd, "DAC0").size(), 2u);

    const std::string svg = slurp(svg_path);
    EXPECT_TRUE(well_formed_xml(svg));
    EXPECT_TRUE(std::regex_search(svg, std::regex(R"(settling wait 7\.0\d\d µs)"))) << svg;
    for (const char* part : {">MUXA<", ">ADCA<", ">out 0x01<", ">in 0xA5 = 165<", ">discarded<", ">in 0x48 = 72<"})
        EXPECT_NE(svg.find(part), std::string::npos) << part;
}

TEST(Run, AFrequencySettingOnKvrSupDrawsTheCountAndTheSquareWave)
{
    const fs::path dir = scratch_dir();
    const std::string svg_path = (dir / "f.svg").string();
    const Outcome r = tool({"run", dll("kvrextio"), "sad(2, 8)", "--svg", svg_path});
    ASSERT_EQ(r.code, kExitOk) << r.err << r.out;
    EXPECT_NE(r.out.find("TMRCTL <- 0x36"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("TMR0   <- 0x0E"), std::string::npos);
    EXPECT_NE(r.out.find("TMR0   <- 0x04  count 0x040E loaded"), std::string::npos);
    EXPECT_NE(r.out.find("count 1038 (0x040E) -> 7.99614644 kHz"), std::string::npos);

    const std::string svg = slurp(svg_path);
    EXPECT_TRUE(well_formed_xml(svg));
    for (const char* part : {">TMRCTL<", ">TMR0<", ">out 0x36<", ">out 0x0E<", ">out 0x04<", "7.99614644 kHz = 8300 kHz / 1038",
                             "<polyline"})
        EXPECT_NE(svg.find(part), std::string::npos) << part;
}

TEST(Run, ShowsTextsPointersAndSinglesAndTheOutputsAtTheEnd)
{
    const Outcome r = tool({"run", dll("kvrextio"), "--board", "kvrsup", "--volts", "3=0.1953125", "--din", "0x81",
                            "nsa(2)", "pead(3)", "stdsas(0, 4.5)", "eb(7)", "sb(3, 1)", "#43()"});
    ASSERT_EQ(r.code, kExitOk) << r.err << r.out;
    for (const char* part : {"input 3: 0.1953125 V -> code 128", "\"fréquence\"  (text)", "-> 0.1953125",
                             "4.5  (single)", "[ordinal 12, single family, stdcall]", "8 bytes removed",
                             "#43 titre()", "\"KVR-sup\"", "DOUTL  0x08  00001000  lines 3 on"})
        EXPECT_NE(r.out.find(part), std::string::npos) << part << "\n" << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(eb\(7\).*\n  result    1\n)"))) << r.out;
}

// ---- survey and adapters -----------------------------------------------------------------------

TEST(Survey, ShowsEveryChannelOfBothBoards)
{
    const Outcome r = tool({"survey", "--dlls", KVR_DLL_DIR});
    ASSERT_EQ(r.code, kExitOk) << r.err << r.out;
    for (const char* part : {"== KVR base board, kvrio.dll ==", "== KVR-Sup extended board, kvrextio.dll ==",
                             "\"DLL pour KVR, par Zembrac, le 22 janvier 2003\"", "kvrio start-up: 1.00 s",
                             "entrée analogique 7  252  EA 7 (volts)  2.4310588235294119",
                             "sortie analogique 0  200  sortie 0 (volts)  7.0588235294117645",
                             "entrée logique 15   0  sortie logique 15    1", "fréquence (kHz)",
                             "timer count 1038 -> 7.99614644 kHz", "input 5, settled"})
        EXPECT_NE(r.out.find(part), std::string::npos) << part << "\n" << r.out;
    EXPECT_EQ(r.out.find("entrée analogique 4"), r.out.rfind("entrée analogique 4")) << "KVR-Sup has 4 inputs";
    const std::regex clean(R"(checks: \d+ calls in their own conventions, \d+ port accesses: no breach, none flagged)");
    EXPECT_EQ(std::distance(std::sregex_iterator(r.out.begin(), r.out.end(), clean), std::sregex_iterator()), 2);
}

TEST(Adapters, RegisterMembersAddNothingAndEveryOtherAdapterAddsInstructions)
{
    const Outcome r = tool({"adapters", "--dlls", KVR_DLL_DIR});
    ASSERT_EQ(r.code, kExitOk) << r.err << r.out;
    const std::regex row(R"(\n  (\w+) +(\d+)  (register|pointer|stdcall double|stdcall|single|double) +\w+ +(\S+) +(\S+))");
    int rows = 0;
    for (auto it = std::sregex_iterator(r.out.begin(), r.out.end(), row); it != std::sregex_iterator(); ++it) {
        ++rows;
        const std::string name = (*it)[1], family = (*it)[3];
        for (const int k : {4, 5}) {
            const long long added = std::stoll((*it)[k]);
            if (family == "register")
                EXPECT_EQ(added, 0) << name;
            else
                EXPECT_GT(added, 0) << name;
        }
    }
    EXPECT_EQ(rows, 58) << r.out;
}

// ---- errors, on the program itself -------------------------------------------------------------

TEST(Errors, EachHasItsMessageAndExitCode)
{
    const fs::path dir = scratch_dir();
    const fs::path text_file = dir / "kvrio.dll";  // named like the library, but not a PE file
    {
        std::ofstream f(text_file);
        for (int line = 0; line < 20; ++line) f << "a text file, not a DLL\n";  // longer than a DOS header
    }
    const fs::path truncated = dir / "kvrextio.dll";  // the real file cut short
    {
        const std::string real = slurp(dll("kvrextio"));
        std::ofstream(truncated, std::ios::binary) << real.substr(0, 600);
    }
    const std::string missing = (dir / "missing" / "kvrio.dll").string();
    struct Case {
        std::string args;
        int code;
        std::string message;
    };
    const Case cases[] = {
        {"run " + missing + " 'ead(1)'", kExitFailure, "kvrbench: no such file: " + missing},
        {"run " + text_file.string() + " 'ead(1)'", kExitFailure, "not an executable: bad DOS magic"},
        {"run " + truncated.string() + " 'ead(1)'", kExitFailure, truncated.string() + ": "},
        {"survey --dlls " + dir.string() + "/missing", kExitFailure, "no such file"},
        {"run " + dll("kvrio") + " 'nope(1)'", kExitUsage, "unknown export 'nope'"},
        {"run " + dll("kvrio") + " '#99(1)'", kExitUsage, "no export has the ordinal 99"},
        {"run " + dll("kvrio") + " 'ead(1, 2)'", kExitUsage, "ead(int) takes 1 argument, got 2"},
        {"run " + dll("kvrio") + " 'ead(two)'", kExitUsage, "argument 1 of ead(int) must be an integer"},
        {"run " + dll("kvrio") + " 'stdsad(0, x)'", kExitUsage, "argument 2 of stdsad(int, double) must be a number"},
        {"run " + dll("kvrio") + " --bogus 'ead(1)'", kExitUsage, "unknown option --bogus for 'run'"},
        {"run " + dll("kvrio") + " --code 2", kExitUsage, "--code takes INPUT=VALUE"},
        {"run " + dll("kvrio") + " --code 2=256", kExitUsage, "--code value must be from 0 to 255"},
        {"run " + dll("kvrio") + " --volts 0=3", kExitUsage, "outside the scale of input 0 of the KVR"},
        {"run " + dll("kvrextio") + " --code 4=1", kExitUsage, "the KVR-Sup has analog inputs 0 to 3, not 4"},
        {"run " + dll("kvrextio") + " --din 1,2", kExitUsage, "one digital input byte"},
        {"run " + dll("kvrio") + " --mhz 0", kExitUsage, "--mhz must be from 1"},
        {"run " + dll("kvrio") + " --board abc", kExitUsage, "--board takes kvr or kvrsup"},
        {"run " + (dir / "other.dll").string(), kExitUsage, "cannot tell the board from the file name"},
        {"run", kExitUsage, "run needs a DLL file"},
        {"figures --mhz 33,x", kExitUsage, "--mhz must be an integer"},
        {"frobnicate", kExitUsage, "unknown command 'frobnicate'"},
        {"", kExitUsage, "no command given"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args);
        const Outcome r = program(c.args);
        EXPECT_EQ(r.code, c.code) << r.err;
        EXPECT_EQ(r.err.rfind("kvrbench: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    fs::remove_all(dir);
}

}  // namespace
