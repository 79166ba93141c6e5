// The host programmer's kit, as the build produced it: the C header, the Pascal unit and the VB
// declarations against the export table; the import tables of the executables the build linked
// against the import libraries; the version resource of each DLL.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "bench/pe.h"
#include "common/exports.h"

namespace {

using kvr::Export;
using kvr::Family;

const std::string kKit = KVR_KIT_DIR;
const std::string kCheck = KVR_KIT_CHECK_DIR;

std::string read_bytes(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    EXPECT_TRUE(in) << "cannot open " << path;
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> read_lines(const std::string& path)
{
    std::vector<std::string> lines;
    std::istringstream in(read_bytes(path));
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

std::string trim(const std::string& s)
{
    const size_t b = s.find_first_not_of(" \t");
    if (b == std::string::npos) return "";
    return s.substr(b, s.find_last_not_of(" \t") - b + 1);
}

std::vector<std::string> split(const std::string& s, char sep)
{
    std::vector<std::string> out;
    if (trim(s).empty()) return out;
    std::stringstream in(s);
    for (std::string item; std::getline(in, item, sep);) out.push_back(trim(item));
    return out;
}

// The C header declares the families whose arguments all travel on the stack.
bool in_c_header(Family f) { return kvr::all_on_stack(f); }

struct Param {
    std::string type, name;
};
struct Declaration {
    std::string result, convention, external_name, lib;
    std::vector<Param> params;
};

// --------------------------------------------------------------------------------------- kvr.h

// "KVR_IMPORT <result> __stdcall <name>(<type> <name>, ...);" as the header writes every function.
std::map<std::string, Declaration> c_declarations()
{
    static const std::regex decl(R"(^\s*KVR_IMPORT\s+(.+?)\s*\b(__\w+)\s+(\w+)\s*\(([^)]*)\)\s*;)");
    std::map<std::string, Declaration> out;
    for (const std::string& line : read_lines(kKit + "/include/kvr.h")) {
        std::smatch m;
        if (!std::regex_search(line, m, decl)) continue;
        Declaration d;
        d.result = std::regex_replace(m[1].str(), std::regex(R"(\s*\*)"), "*");
        d.convention = m[2];
        for (const std::string& p : split(m[4], ',')) {
            if (p == "void") continue;
            const size_t space = p.find_last_of(" *");
            d.params.push_back({std::regex_replace(trim(p.substr(0, space + 1)), std::regex(R"(\s*\*)"), "*"),
                                p.substr(space + 1)});
        }
        EXPECT_TRUE(out.emplace(m[3], d).second) << m[3] << " is declared twice";
    }
    return out;
}

std::string c_type(char kind)
{
    switch (kind) {
    case 'i': return "int";
    case 'd': return "double";
    case 's': return "float";
    case 't': return "const char*";
    }
    return "?";
}

// Every member of the stdcall, single, double and stdcall double families, declared __stdcall with
// its argument and result types; nothing of the register and pointer families.
TEST(KitHeader, DeclaresTheStackFamiliesStdcallWithTheirTypes)
{
    const auto declared = c_declarations();
    std::set<std::string> expected;
    for (const Export& e : kvr::kExports) {
        auto it = declared.find(e.name);
        if (!in_c_header(e.family)) {
            EXPECT_EQ(it, declared.end()) << e.name << " uses the register convention; C cannot declare it";
            continue;
        }
        expected.insert(e.name);
        ASSERT_NE(it, declared.end()) << e.name << " is missing from kvr.h";
        const Declaration& d = it->second;
        EXPECT_EQ(d.convention, "__stdcall") << e.name;
        EXPECT_EQ(d.result, c_type(e.result)) << e.name;
        const std::string args = e.args;
        ASSERT_EQ(d.params.size(), args.size()) << e.name;
        for (size_t i = 0; i < args.size(); ++i) EXPECT_EQ(d.params[i].type, c_type(args[i])) << e.name << " #" << i;
    }
    for (const auto& [name, d] : declared) EXPECT_TRUE(expected.count(name)) << name << " is not in the export table";
}

// The double family pushes its first argument first, stdcall its last: declared __stdcall, the two-
// argument double members take the channel last; every other member takes it first.
TEST(KitHeader, TwoArgumentDoubleMembersTakeTheChannelLast)
{
    const auto declared = c_declarations();
    int reversed = 0;
    for (const Export& e : kvr::kExports) {
        auto it = declared.find(e.name);
        if (it == declared.end() || it->second.params.empty()) continue;
        const auto& p = it->second.params;
        if (e.family == Family::Double && p.size() == 2) {
            EXPECT_EQ(p.back().name, "channel") << e.name << " must be declared with its parameters reversed";
            EXPECT_NE(p.front().name, "channel") << e.name;
            ++reversed;
        } else {
            EXPECT_EQ(p.front().name, "channel") << e.name;
        }
    }
    EXPECT_EQ(reversed, 2);  // sadouble, sbdouble
}

// The comment table at the top gives every export's ordinal.
TEST(KitHeader, CommentListsEveryOrdinal)
{
    static const std::regex row(R"(^ \*\s+(\d+)\s+(\w+)\s+(register|pointer|stdcall|single|double))");
    std::map<std::string, unsigned> listed;
    for (const std::string& line : read_lines(kKit + "/include/kvr.h")) {
        std::smatch m;
        if (std::regex_search(line, m, row)) listed[m[2]] = std::stoul(m[1]);
    }
    ASSERT_EQ(listed.size(), kvr::kExportCount);
    for (const Export& e : kvr::kExports) EXPECT_EQ(listed[e.name], e.ordinal) << e.name;
}

// -------------------------------------------------------------------------------------- kvr.pas

std::map<std::string, Declaration> pascal_declarations()
{
    static const std::regex decl(
        R"(^\s*function\s+(\w+)\s*(?:\(([^)]*)\))?\s*:\s*(\w+)\s*;\s*(\w+)\s*;\s*external\s+(\w+)\s+name\s+'([^']*)'\s*;)",
        std::regex::icase);
    std::map<std::string, Declaration> out;
    for (const std::string& line : read_lines(kKit + "/pascal/kvr.pas")) {
        std::smatch m;
        if (!std::regex_search(line, m, decl)) continue;
        Declaration d{m[3], m[4], m[6], m[5], {}};
        for (const std::string& p : split(m[2], ';')) {
            const size_t colon = p.find(':');
            d.params.push_back({trim(p.substr(colon + 1)), trim(p.substr(0, colon))});
        }
        EXPECT_TRUE(out.emplace(m[1], d).second) << m[1] << " is declared twice";
    }
    return out;
}

std::string pascal_type(char kind)
{
    switch (kind) {
    case 'i': return "LongInt";
    case 'h': return "SmallInt";
    case 'd': return "Double";
    case 's': return "Single";
    case 't': return "PAnsiChar";
    case 'p': return "PKvrDouble";
    }
    return "?";
}

// All 58 exports, each bound by its own name to the library constant, with the register convention
// for the register, pointer and double families and stdcall for the others; parameters in their
// declared order (Pascal's register convention pushes stack arguments first-first, as the DLL wants).
TEST(KitPascal, DeclaresEveryExportWithItsConvention)
{
    const auto declared = pascal_declarations();
    EXPECT_EQ(declared.size(), kvr::kExportCount);
    for (const Export& e : kvr::kExports) {
        auto it = declared.find(e.name);
        ASSERT_NE(it, declared.end()) << e.name << " is missing from kvr.pas";
        const Declaration& d = it->second;
        const bool reg = e.family == Family::Register || e.family == Family::Pointer || e.family == Family::Double;
        EXPECT_EQ(d.convention, reg ? "register" : "stdcall") << e.name;
        EXPECT_EQ(d.external_name, e.name);
        EXPECT_EQ(d.lib, "KvrLib") << e.name;
        EXPECT_EQ(d.result, pascal_type(e.result)) << e.name;
        const std::string args = e.args;
        ASSERT_EQ(d.params.size(), args.size()) << e.name;
        for (size_t i = 0; i < args.size(); ++i) {
            EXPECT_EQ(d.params[i].type, pascal_type(args[i])) << e.name << " #" << i;
            EXPECT_EQ(d.params[i].name == "channel", i == 0) << e.name << " #" << i;
        }
    }
}

// Free Pascal compiles the unit and the example host that uses it, and the library the program would
// link is the one the define selects. Only the host's own target is available here (not i386-win32),
// so this checks syntax, types and the library binding, not the machine code.
class KitFreePascal : public ::testing::TestWithParam<bool> {};

TEST_P(KitFreePascal, CompilesTheUnitAndTheExampleForEitherLibrary)
{
    const std::string fpc = KVR_FPC;
    if (fpc.empty()) GTEST_SKIP() << "fpc is not installed";
    const bool ext = GetParam();
    namespace fs = std::filesystem;
    const fs::path out = fs::path(::testing::TempDir()) /
                         ("kvr_kit_fpc_" + std::string(ext ? "ext_" : "base_") + std::to_string(::getpid()));
    fs::remove_all(out);
    fs::create_directories(out);
    const std::string cmd = "'" + fpc + "' -s -vew " + (ext ? "-dKVREXTIO " : "") + "-FE'" + out.string() +
                            "' -FU'" + out.string() + "' -Fu'" + kKit + "/pascal' '" + kKit +
                            "/example/host.pas' > '" + (out / "log").string() + "' 2>&1";
    const int rc = std::system(cmd.c_str());
    ASSERT_EQ(rc, 0) << cmd << "\n" << read_bytes((out / "log").string());

    // Free Pascal writes the libraries a program links into its linker script.
    std::string script;
    for (const auto& f : fs::directory_iterator(out))
        if (f.path().extension() == ".res") script += read_bytes(f.path().string());
    EXPECT_NE(script.find(ext ? "-lkvrextio.dll" : "-lkvrio.dll"), std::string::npos) << script;
    EXPECT_EQ(script.find(ext ? "-lkvrio.dll" : "-lkvrextio.dll"), std::string::npos);
    fs::remove_all(out);
}

INSTANTIATE_TEST_SUITE_P(Libraries, KitFreePascal, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "kvrextio" : "kvrio"; });

// -------------------------------------------------------------------------------------- kvr.bas

std::string basic_type(char kind) { return kind == 'd' ? "Double" : kind == 's' ? "Single" : "Long"; }

// The stdcall family, declared once for each library (kvrio.dll unless KVREXTIO), each by its own
// name through Alias, with Long, Double and text addresses as Long; the file in CR LF lines, as the
// VB and VBA editors read them.
TEST(KitBasic, DeclaresTheStdcallFamilyForEitherLibrary)
{
    const std::string path = kKit + "/vb/kvr.bas";
    const std::string bytes = read_bytes(path);
    for (size_t i = bytes.find('\n'); i != std::string::npos; i = bytes.find('\n', i + 1))
        ASSERT_TRUE(i > 0 && bytes[i - 1] == '\r') << "a line that does not end in CR LF, at byte " << i;

    static const std::regex decl(
        R"re(^\s*Public\s+Declare\s+Function\s+(\w+)\s+Lib\s+"([^"]+)"\s+Alias\s+"([^"]+)"\s*\(([^)]*)\)\s+As\s+(\w+))re",
        std::regex::icase);
    std::map<std::string, std::map<std::string, Declaration>> by_branch;  // "#If" / "#Else" -> declarations
    std::string branch;
    for (const std::string& line : read_lines(path)) {
        if (line.rfind("#If KVREXTIO Then", 0) == 0) branch = "kvrextio.dll";
        else if (line.rfind("#Else", 0) == 0) branch = "kvrio.dll";
        else if (line.rfind("#End If", 0) == 0) branch.clear();
        std::smatch m;
        if (!std::regex_search(line, m, decl)) continue;
        ASSERT_FALSE(branch.empty()) << "a declaration outside the library branches: " << line;
        Declaration d{m[5], "", m[3], m[2], {}};
        for (const std::string& p : split(m[4], ',')) {
            std::smatch pm;
            ASSERT_TRUE(std::regex_match(p, pm, std::regex(R"(ByVal\s+(\w+)\s+As\s+(\w+))"))) << line;
            d.params.push_back({pm[2], pm[1]});
        }
        EXPECT_TRUE(by_branch[branch].emplace(m[1], d).second) << m[1] << " is declared twice for " << branch;
    }
    ASSERT_EQ(by_branch.size(), 2u);
    for (const auto& [lib, declared] : by_branch) {
        std::set<std::string> expected;
        for (const Export& e : kvr::kExports) {
            if (e.family != Family::Stdcall) continue;
            expected.insert(e.name);
            auto it = declared.find(e.name);
            ASSERT_NE(it, declared.end()) << e.name << " is missing for " << lib;
            const Declaration& d = it->second;
            EXPECT_EQ(d.lib, lib) << e.name;
            EXPECT_EQ(d.external_name, e.name);
            EXPECT_EQ(d.result, basic_type(e.result)) << e.name;
            const std::string args = e.args;
            ASSERT_EQ(d.params.size(), args.size()) << e.name;
            for (size_t i = 0; i < args.size(); ++i) EXPECT_EQ(d.params[i].type, basic_type(args[i])) << e.name;
        }
        for (const auto& [name, d] : declared) EXPECT_TRUE(expected.count(name)) << name << " is not in the stdcall family";
    }
}

// ---------------------------------------------------------------- import libraries and the example

// The bench's reader is for DLLs and refuses a file without IMAGE_FILE_DLL; an executable's import
// table has the same layout, so it reads a copy of the executable with that flag set.
bench::PeImage read_executable(const std::string& path)
{
    const std::string bytes = read_bytes(path);
    std::vector<uint8_t> file(bytes.begin(), bytes.end());
    if (file.size() < 0x40) throw bench::PeError(path + ": too short");
    const uint32_t nt = file[0x3C] | file[0x3D] << 8 | file[0x3E] << 16 | static_cast<uint32_t>(file[0x3F]) << 24;
    if (nt + 24 > file.size()) throw bench::PeError(path + ": no PE header");
    file[nt + 4 + 18 + 1] |= 0x20;  // Characteristics |= IMAGE_FILE_DLL (0x2000)
    return bench::PeImage::parse(std::move(file));
}

std::set<std::string> export_names(const std::string& lib)
{
    std::set<std::string> names;
    for (const auto& e : bench::PeImage::read_file(std::string(KVR_DLL_DIR) + "/" + lib + ".dll").exports)
        names.insert(e.name);
    return names;
}

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

struct LinkCase {
    const char* exe;  // under the kit's check directory
    const char* lib;
    bool lld;         // linked by lld-link, built only when it is installed
};

void PrintTo(const LinkCase& c, std::ostream* os) { *os << c.exe; }

class KitLinkCheck : public ::testing::TestWithParam<LinkCase> {};

// The build linked a program that calls every function of kvr.h against each import library. Its
// imports are exactly those functions, by name, from the one DLL, each an export of that DLL as it
// is spelled there (undecorated): the import library maps every decorated symbol of the header.
TEST_P(KitLinkCheck, ImportsEveryHeaderFunctionUndecorated)
{
    const LinkCase c = GetParam();
    if (c.lld && !KVR_KIT_LLD_LINK) GTEST_SKIP() << "lld-link is not installed";
    const bench::PeImage exe = read_executable(kCheck + "/" + c.exe);
    const std::set<std::string> exports = export_names(c.lib);
    std::set<std::string> imported;
    for (const auto& i : exe.imports) {
        EXPECT_EQ(lower(i.dll), std::string(c.lib) + ".dll");
        EXPECT_FALSE(i.name.empty()) << "import by ordinal " << i.ordinal;
        EXPECT_TRUE(exports.count(i.name)) << "imports \"" << i.name << "\", which " << c.lib << ".dll does not export";
        imported.insert(i.name);
    }
    std::set<std::string> expected;
    for (const Export& e : kvr::kExports)
        if (in_c_header(e.family)) expected.insert(e.name);
    EXPECT_EQ(imported, expected);
}

INSTANTIATE_TEST_SUITE_P(ImportLibraries, KitLinkCheck,
                         ::testing::Values(LinkCase{"linkcheck-kvrio-dlla.exe", "kvrio", false},
                                           LinkCase{"linkcheck-kvrio-lib.exe", "kvrio", false},
                                           LinkCase{"linkcheck-kvrio-lldlink.exe", "kvrio", true},
                                           LinkCase{"linkcheck-kvrextio-dlla.exe", "kvrextio", false},
                                           LinkCase{"linkcheck-kvrextio-lib.exe", "kvrextio", false},
                                           LinkCase{"linkcheck-kvrextio-lldlink.exe", "kvrextio", true}),
                         [](const auto& info) {
                             std::string n = info.param.exe;
                             n = n.substr(0, n.find('.'));
                             std::replace(n.begin(), n.end(), '-', '_');
                             return n;
                         });

class KitExample : public ::testing::TestWithParam<std::string> {};

// The C example, built with the C runtime: it imports from kvrio.dll and the runtime's DLLs only, and
// every name it imports from kvrio.dll is one of its undecorated exports.
TEST_P(KitExample, ImportsOnlyTheDllAndTheRuntime)
{
    const bench::PeImage exe = read_executable(GetParam());
    const std::set<std::string> exports = export_names("kvrio");
    const std::regex runtime(R"(kernel32\.dll|msvcrt\.dll|ucrtbase\.dll|api-ms-win-crt-.*\.dll)");
    int from_kvrio = 0;
    for (const auto& i : exe.imports) {
        const std::string dll = lower(i.dll);
        if (dll != "kvrio.dll") {
            EXPECT_TRUE(std::regex_match(dll, runtime)) << "imports from " << i.dll;
            continue;
        }
        ++from_kvrio;
        EXPECT_FALSE(i.name.empty()) << "import by ordinal " << i.ordinal;
        EXPECT_TRUE(exports.count(i.name)) << "imports \"" << i.name << "\", which kvrio.dll does not export";
    }
    EXPECT_GT(from_kvrio, 0);
}

INSTANTIATE_TEST_SUITE_P(ImportLibraries, KitExample,
                         ::testing::Values(kKit + "/example/host.exe", kCheck + "/host-kvrio-lib.exe"),
                         [](const auto& info) { return info.index == 0 ? "dll_a" : "lib"; });

// ------------------------------------------------------------------------- version resource

uint16_t u16(const std::vector<uint8_t>& b, size_t off) { return b.at(off) | b.at(off + 1) << 8; }
uint32_t u32(const std::vector<uint8_t>& b, size_t off) { return u16(b, off) | static_cast<uint32_t>(u16(b, off + 2)) << 16; }

size_t file_offset(const bench::PeImage& pe, uint32_t rva)
{
    for (const auto& s : pe.sections)
        if (rva >= s.rva && rva < s.rva + s.raw_size) return s.raw_offset + (rva - s.rva);
    throw bench::PeError("RVA outside every section's file data");
}

struct VersionInfo {
    uint32_t signature = 0, file_ms = 0, file_ls = 0, product_ms = 0, product_ls = 0, file_type = 0;
    std::map<std::string, std::string> strings;  // StringFileInfo texts, narrowed to ASCII
};

// One node of a version resource: length, value length, type, a NUL-terminated UTF-16 key, padding
// to 32 bits, the value, padding, then child nodes up to the length. Alignment counts from `base`.
void walk_version(const std::vector<uint8_t>& b, size_t base, size_t off, int depth, VersionInfo& info)
{
    auto align = [&](size_t x) { return base + ((x - base + 3) & ~size_t{3}); };
    const size_t end = off + u16(b, off);
    const size_t value_length = u16(b, off + 2);
    const bool text = u16(b, off + 4) == 1;
    std::string key;
    size_t p = off + 6;
    for (; u16(b, p) != 0; p += 2) key += static_cast<char>(u16(b, p));
    const size_t value = align(p + 2);
    const size_t value_bytes = text ? value_length * 2 : value_length;
    if (depth == 0 && value_bytes >= 52) {
        info.signature = u32(b, value);
        info.file_ms = u32(b, value + 8);
        info.file_ls = u32(b, value + 12);
        info.product_ms = u32(b, value + 16);
        info.product_ls = u32(b, value + 20);
        info.file_type = u32(b, value + 36);
    }
    if (depth == 3 && text) {
        std::string s;
        for (size_t q = value; q + 1 < value + value_bytes && u16(b, q) != 0; q += 2) s += static_cast<char>(u16(b, q));
        info.strings[key] = s;
    }
    for (size_t c = align(value + value_bytes); c + 6 < end; c = align(c + u16(b, c))) {
        if (u16(b, c) == 0) break;
        walk_version(b, base, c, depth + 1, info);
    }
}

// The RT_VERSION resource, found through the resource directory (data directory 2).
VersionInfo read_version(const bench::PeImage& pe)
{
    const std::vector<uint8_t>& b = pe.file;
    const uint32_t nt = u32(b, 0x3C);
    const size_t directories = nt + 24 + 96;  // PE32 optional header, then the data directories
    const uint32_t rsrc_rva = u32(b, directories + 2 * 8), rsrc_size = u32(b, directories + 2 * 8 + 4);
    if (rsrc_rva == 0 || rsrc_size == 0) throw bench::PeError("no resource directory");
    const size_t root = file_offset(pe, rsrc_rva);
    // Each level: a 16-byte header with the counts of named and numbered entries, then 8-byte entries
    // (name or id, offset from the root; high bit set for a subdirectory). Levels: type, name, language.
    auto find = [&](size_t dir, bool any, uint32_t id) -> uint32_t {
        const size_t n = u16(b, dir + 12) + u16(b, dir + 14);
        for (size_t i = 0; i < n; ++i) {
            const size_t e = dir + 16 + 8 * i;
            if (any || u32(b, e) == id) return u32(b, e + 4);
        }
        throw bench::PeError("resource type 16 (RT_VERSION) not found");
    };
    uint32_t entry = find(root, false, 16);
    for (int level = 0; level < 2; ++level) {
        if (!(entry & 0x80000000u)) throw bench::PeError("resource directory ends early");
        entry = find(root + (entry & 0x7FFFFFFFu), true, 0);
    }
    const size_t data = file_offset(pe, u32(b, root + entry));
    VersionInfo info;
    walk_version(b, data, data, 0, info);
    return info;
}

struct VersionCase {
    const char* lib;
    const char* board;  // named by the file description
    std::vector<std::string> imports;
};

void PrintTo(const VersionCase& c, std::ostream* os) { *os << c.lib; }

class DllVersion : public ::testing::TestWithParam<VersionCase> {};

// Version 1.0.0.0 in the fixed part and the texts; product name, a description naming the board, the
// original file name; and the resource added no import (kvrio: GetTickCount only; kvrextio: none).
TEST_P(DllVersion, ResourceNamesVersionProductAndBoard)
{
    const VersionCase c = GetParam();
    const bench::PeImage pe = bench::PeImage::read_file(std::string(KVR_DLL_DIR) + "/" + c.lib + ".dll");
    const VersionInfo v = read_version(pe);
    EXPECT_EQ(v.signature, 0xFEEF04BDu);
    EXPECT_EQ(v.file_ms, 0x00010000u);
    EXPECT_EQ(v.file_ls, 0u);
    EXPECT_EQ(v.product_ms, 0x00010000u);
    EXPECT_EQ(v.product_ls, 0u);
    EXPECT_EQ(v.file_type, 2u);  // VFT_DLL
    auto text = [&](const char* key) { return v.strings.count(key) ? v.strings.at(key) : "(missing)"; };
    EXPECT_EQ(text("FileVersion"), "1.0.0.0");
    EXPECT_EQ(text("ProductVersion"), "1.0.0.0");
    EXPECT_EQ(text("OriginalFilename"), std::string(c.lib) + ".dll");
    EXPECT_NE(text("ProductName").find("KVR"), std::string::npos) << text("ProductName");
    EXPECT_NE(text("FileDescription").find(c.board), std::string::npos) << text("FileDescription");

    std::vector<std::string> imports;
    for (const auto& i : pe.imports) imports.push_back(i.dll + "!" + i.name);
    EXPECT_EQ(imports, c.imports);
}

INSTANTIATE_TEST_SUITE_P(Libraries, DllVersion,
                         ::testing::Values(VersionCase{"kvrio", "KVR base board", {"KERNEL32.dll!GetTickCount"}},
                                           VersionCase{"kvrextio", "KVR-Sup extended board", {}}),
                         [](const auto& info) { return std::string(info.param.lib); });

}  // namespace
