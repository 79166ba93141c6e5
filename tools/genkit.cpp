// Writes the host programmer's kit from the one export table (common/exports.h).
//
//   kvr_genkit KITDIR LINKCHECK.c
//
// Into KITDIR: include/kvr.h (C and C++), pascal/kvr.pas (Delphi, Free Pascal), vb/kvr.bas (VB,
// VBA), and LIB/LIB-decorated.def for kvrio and kvrextio (the definition that import libraries are
// built from). To LINKCHECK.c: a C/C++ source that calls every function kvr.h declares, for the
// build to link against each import library.
//
// Which families each language gets, and why:
// - C: the families whose arguments all travel on the stack and are removed by the callee, declared
//   __stdcall. The one-argument members of the double family are stdcall at the machine level; the
//   two-argument ones (sadouble, sbdouble) push their first argument first, so C declares them with
//   the parameters reversed. The register and pointer families pass integers in EAX, EDX, ECX, which
//   no portable C declaration expresses.
// - Pascal: every family. Pascal's register convention is the library's register convention
//   (integers and pointers in EAX, EDX, ECX, doubles on the stack pushed in declaration order,
//   removed by the callee), so the register, pointer and double families use it.
// - VB: the stdcall family; VB's Declare calls stdcall functions.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iomanip>
#include <sstream>
#include <string>
#include <vector>

#include "common/exports.h"

namespace {

using kvr::Export;
using kvr::Family;

constexpr const char* kGenerated = "Generated from the export table, do not edit.";
constexpr const char* kLibraries[] = {"kvrio", "kvrextio"};

struct Param {
    std::string name;
    char kind;
};

// The parameters in declaration order. The channel always comes first; the second argument is the
// code (sa), the volts (sad, and its pointer in psad) or the state (sb).
std::vector<Param> params(const Export& e)
{
    const std::string core = e.core;
    std::vector<Param> out;
    for (const char* a = e.args; *a; ++a) {
        std::string name = "channel";
        if (a != e.args) name = core == "sa" ? "code" : core == "sb" ? "state" : "volts";
        out.push_back({name, *a});
    }
    return out;
}

// The stdcall-family member that reaches the same core operation, for the families C cannot declare.
std::string stdcall_form(const Export& e)
{
    for (const Export& s : kvr::kExports)
        if (s.family == Family::Stdcall && std::string(s.core) == e.core) return s.name;
    return "";
}

bool c_declares(Family f) { return kvr::all_on_stack(f); }

// ---------------------------------------------------------------------------------------------- C

const char* c_type(char kind)
{
    switch (kind) {
    case 'i': return "int";
    case 'd': return "double";
    case 's': return "float";
    case 't': return "const char*";
    }
    return "?";
}

// The C parameter list: reversed for the two-argument members of the double family, so that the C
// compiler, which pushes the last parameter first, pushes the channel first.
std::vector<Param> c_params(const Export& e)
{
    std::vector<Param> p = params(e);
    if (e.family == Family::Double) std::reverse(p.begin(), p.end());
    return p;
}

std::string c_declaration(const Export& e)
{
    std::ostringstream d;
    d << "KVR_IMPORT " << c_type(e.result) << " __stdcall " << e.name << '(';
    const std::vector<Param> p = c_params(e);
    if (p.empty()) d << "void";
    for (size_t i = 0; i < p.size(); ++i) d << (i ? ", " : "") << c_type(p[i].kind) << ' ' << p[i].name;
    d << ");";
    std::ostringstream line;
    line << std::left << std::setw(72) << d.str() + ' ' << "/* " << e.ordinal;
    if (p.size() > 1 && e.family == Family::Double) line << ", parameters reversed: channel last";
    line << " */";
    return line.str();
}

void write_c_header(std::ostream& o)
{
    o << "/* kvr.h: C and C++ declarations of the exports of kvrio.dll (base board KVR) and kvrextio.dll\n"
         " * (extended board KVR-Sup), for 32-bit Windows hosts built with MSVC or MinGW.\n"
         " * "
      << kGenerated
      << "\n"
         " *\n"
         " * Both DLLs export the same 58 functions under the same names and ordinals. Link with the import\n"
         " * library of the board you drive: kvrio.lib (MSVC) or libkvrio.dll.a (MinGW), kvrextio.lib or\n"
         " * libkvrextio.dll.a. The DLLs export undecorated names (stdea, not _stdea@4); the import\n"
         " * libraries map the compiler's decorated symbols to them.\n"
         " *\n"
         " * Values: channel, code and state are 32-bit integers counted from 0, volts are doubles. A\n"
         " * channel or value out of range answers -777 (-777.0 as a double or float), a naming function the\n"
         " * empty text. A text result points to a zero-terminated Windows-1252 text owned by the DLL: never\n"
         " * NULL, still readable after the call, not to be freed or written.\n"
         " *\n"
         " * Declared here: the stdcall, single, double and stdcall double families, all as __stdcall.\n"
         " * Not declared: the register family (the core operations ea ... detail) and the pointer family\n"
         " * (pead, psad). They take integers and pointers in the registers EAX, EDX and ECX and doubles on\n"
         " * the stack, pushed in declaration order and removed by the callee; no C declaration gives that\n"
         " * portably (MSVC's __fastcall uses ECX and EDX). Call the stdcall form named in the table below,\n"
         " * which reaches the same operation: stdead for ead and pead, stdsad for sad and psad. rsa has no\n"
         " * stdcall form; stdrsad reads the same output back in volts.\n"
         " *\n"
         " * Ordinal  Name          Family          Declared here\n";
    for (const Export& e : kvr::kExports) {
        std::string declared = c_declares(e.family) ? "yes" : "no";
        if (!c_declares(e.family)) {
            const std::string s = stdcall_form(e);
            declared += s.empty() ? ", no stdcall form" : ", use " + s;
        }
        std::ostringstream row;
        row << " * " << std::right << std::setw(7) << e.ordinal << "  " << std::left << std::setw(14) << e.name
            << std::setw(16) << kvr::family_name(e.family) << declared;
        o << row.str() << '\n';
    }
    o << " */\n"
         "#ifndef KVR_H\n"
         "#define KVR_H\n"
         "\n"
         "#if !defined(_WIN32) || defined(_WIN64)\n"
         "#error \"kvrio.dll and kvrextio.dll are 32-bit Windows DLLs: build the host for 32-bit Windows (x86)\"\n"
         "#endif\n"
         "\n"
         "/* Marks the functions as imported from a DLL, so that calls go through the import address table.\n"
         " * Define KVR_IMPORT as empty before including this file to call through the import library's\n"
         " * stubs instead. */\n"
         "#ifndef KVR_IMPORT\n"
         "#define KVR_IMPORT __declspec(dllimport)\n"
         "#endif\n"
         "\n"
         "#ifdef __cplusplus\n"
         "extern \"C\" {\n"
         "#endif\n";
    struct Section {
        Family family;
        const char* comment;
    };
    const Section sections[] = {
        {Family::Stdcall,
         "/* stdcall family: the core operations with their own argument and result types. stdnsa looks\n"
         " * at the low 16 bits of its channel only. */\n"},
        {Family::Single,
         "/* single family: analog input, read-back and output in single precision; the result is the\n"
         " * double result rounded to the nearest float. */\n"},
        {Family::Double,
         "/* double family: every argument a double (a channel or state is rounded to the nearest integer,\n"
         " * ties to even), an integer result returned as a double, a text result as const char*.\n"
         " *\n"
         " * CAREFUL: these functions are not stdcall as such. They use the DLL's register convention,\n"
         " * which puts all-double arguments on the stack in declaration order (the first argument pushed\n"
         " * first, so at the highest address) and lets the callee remove them. With one argument that is\n"
         " * exactly __stdcall. The two-argument members sadouble and sbdouble are declared here with\n"
         " * their parameters REVERSED, (volts, channel) and (state, channel): the C compiler pushes the\n"
         " * last parameter first, so it pushes the channel first, as the DLL expects.\n"
         " * sadouble(4.5, 1.0) sets output 1 to 4.5 V. stdsadouble and stdsbdouble, in the stdcall\n"
         " * double family below, take the natural order (channel first). */\n"},
        {Family::StdcallDouble,
         "/* stdcall double family: as the double family, in the stdcall convention; the channel is the\n"
         " * first parameter. */\n"},
    };
    for (const Section& s : sections) {
        o << '\n' << s.comment;
        for (const Export& e : kvr::kExports)
            if (e.family == s.family) o << c_declaration(e) << '\n';
    }
    o << "\n"
         "#ifdef __cplusplus\n"
         "}\n"
         "#endif\n"
         "\n"
         "#endif /* KVR_H */\n";
}

// A source that calls every declared function, never at run time: linking it against an import
// library shows that the library resolves every decorated symbol the header makes the compiler use.
void write_linkcheck(std::ostream& o)
{
    o << "/* Calls every function kvr.h declares; linked against each import library by the build.\n"
         " * "
      << kGenerated
      << " */\n"
         "#include \"kvr.h\"\n"
         "\n"
         "#ifdef __cplusplus\n"
         "extern \"C\"\n"
         "#endif\n"
         "int kvr_linkcheck(void);\n"
         "\n"
         "volatile int kvr_never;\n"
         "\n"
         "int kvr_linkcheck(void)\n"
         "{\n"
         "    if (kvr_never) {\n";
    for (const Export& e : kvr::kExports) {
        if (!c_declares(e.family)) continue;
        o << "        (void)" << e.name << '(';
        const std::vector<Param> p = c_params(e);
        for (size_t i = 0; i < p.size(); ++i)
            o << (i ? ", " : "") << (p[i].kind == 'i' ? "0" : p[i].kind == 's' ? "0.0f" : "0.0");
        o << ");\n";
    }
    o << "    }\n"
         "    return 0;\n"
         "}\n";
}

// ----------------------------------------------------------------------------------------- Pascal

const char* pascal_type(char kind)
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

bool pascal_register(Family f)
{
    return f == Family::Register || f == Family::Pointer || f == Family::Double;
}

void write_pascal(std::ostream& o)
{
    o << "{ kvr.pas: Pascal declarations of the exports of kvrio.dll (base board KVR) and kvrextio.dll\n"
         "  (extended board KVR-Sup), for Delphi and Free Pascal on 32-bit Windows.\n"
         "  "
      << kGenerated
      << "\n"
         "\n"
         "  Both DLLs export the same 58 functions under the same names. This unit binds to kvrio.dll;\n"
         "  define KVREXTIO when compiling (Delphi: Project Options, Conditional defines; Free Pascal:\n"
         "  -dKVREXTIO) to bind to kvrextio.dll instead.\n"
         "\n"
         "  Conventions. Pascal's register convention is the DLL's register convention: integers and\n"
         "  pointers in EAX, EDX and ECX, doubles on the stack pushed in declaration order, the callee\n"
         "  removing them. The register family (the core operations), the pointer family and the double\n"
         "  family (all arguments doubles, so all on the stack) are declared register; the stdcall,\n"
         "  single and stdcall double families stdcall.\n"
         "\n"
         "  Values: channel, code and state are 32-bit integers counted from 0, volts are doubles. A\n"
         "  channel or value out of range answers -777 (-777.0 as a real), a naming function the empty\n"
         "  text. A PAnsiChar result points to a zero-terminated Windows-1252 text owned by the DLL: never\n"
         "  nil, still readable after the call. pead and psad return a pointer to a Double kept by the\n"
         "  DLL; psad only reads the Double its second argument points to. }\n"
         "unit kvr;\n"
         "\n"
         "interface\n"
         "\n"
         "const\n"
         "{$IFDEF KVREXTIO}\n"
         "  KvrLib = 'kvrextio.dll';\n"
         "{$ELSE}\n"
         "  KvrLib = 'kvrio.dll';\n"
         "{$ENDIF}\n"
         "\n"
         "type\n"
         "  { The unit's own pointer type, since older Delphi versions do not declare PDouble. }\n"
         "  PKvrDouble = ^Double;\n";
    Family current = Family::Register;
    bool first = true;
    for (const Export& e : kvr::kExports) {
        if (first || e.family != current) {
            o << "\n{ " << kvr::family_name(e.family) << " family }\n";
            current = e.family;
            first = false;
        }
        std::ostringstream d;
        d << "function " << e.name;
        const std::vector<Param> p = params(e);
        if (!p.empty()) {
            d << '(';
            for (size_t i = 0; i < p.size(); ++i)
                d << (i ? "; " : "") << p[i].name << ": " << pascal_type(p[i].kind);
            d << ')';
        }
        d << ": " << pascal_type(e.result) << "; " << (pascal_register(e.family) ? "register" : "stdcall")
          << "; external KvrLib name '" << e.name << "';";
        o << std::left << std::setw(100) << d.str() + ' ' << "{ " << e.ordinal << " }\n";
    }
    o << "\n"
         "implementation\n"
         "\n"
         "end.\n";
}

// ---------------------------------------------------------------------------------------------- VB

const char* basic_type(char kind)
{
    switch (kind) {
    case 'i': return "Long";
    case 'd': return "Double";
    case 's': return "Single";
    case 't': return "Long";  // the address of the text; see KvrText
    }
    return "?";
}

void write_basic_declarations(std::ostream& o, const std::string& dll)
{
    for (const Export& e : kvr::kExports) {
        if (e.family != Family::Stdcall) continue;
        o << "Public Declare Function " << e.name << " Lib \"" << dll << "\" Alias \"" << e.name << "\" (";
        const std::vector<Param> p = params(e);
        for (size_t i = 0; i < p.size(); ++i)
            o << (i ? ", " : "") << "ByVal " << p[i].name << " As " << basic_type(p[i].kind);
        o << ") As " << basic_type(e.result) << '\n';
    }
}

void write_basic(std::ostream& o)
{
    o << "Attribute VB_Name = \"kvr\"\n"
         "' kvr.bas: Visual Basic declarations of the stdcall exports of kvrio.dll (base board KVR) and\n"
         "' kvrextio.dll (extended board KVR-Sup), for 32-bit VB and VBA.\n"
         "' "
      << kGenerated
      << "\n"
         "'\n"
         "' This module binds to kvrio.dll. To bind to kvrextio.dll, set the conditional compilation\n"
         "' argument KVREXTIO = 1 (VB: Project Properties, Make; VBA: Project Properties, General).\n"
         "'\n"
         "' Only the stdcall family is declared: VB's Declare calls stdcall functions. Long is a 32-bit\n"
         "' integer. Channel, code and state count from 0, volts are doubles; a channel or value out of\n"
         "' range answers -777 (-777.0 in volts), a naming function the empty text.\n"
         "' Text results are declared As Long: they are the address of a zero-terminated Windows-1252\n"
         "' text owned by the DLL, not a VB String (a Declare returning As String expects a BSTR, which\n"
         "' these functions do not return). KvrText(stdnea(0)) turns such an address into a String.\n"
         "' Every declaration names its export with Alias: export names are case-sensitive, and the\n"
         "' Alias keeps the IDE's re-casing of identifiers from changing the name looked up.\n"
         "Option Explicit\n"
         "\n"
         "#If KVREXTIO Then\n";
    write_basic_declarations(o, "kvrextio.dll");
    o << "#Else\n";
    write_basic_declarations(o, "kvrio.dll");
    o << "#End If\n"
         "\n"
         "Private Declare Function lstrlenA Lib \"kernel32\" (ByVal text As Long) As Long\n"
         "Private Declare Sub RtlMoveMemory Lib \"kernel32\" (ByRef destination As Any, ByVal source As Long, "
         "ByVal length As Long)\n"
         "\n"
         "' The text at the address a text function returned, converted from the system's ANSI code page\n"
         "' (Windows-1252 on Western European and American systems).\n"
         "Public Function KvrText(ByVal text As Long) As String\n"
         "    Dim length As Long\n"
         "    Dim bytes() As Byte\n"
         "    length = lstrlenA(text)\n"
         "    If length = 0 Then Exit Function\n"
         "    ReDim bytes(0 To length - 1)\n"
         "    RtlMoveMemory bytes(0), text, length\n"
         "    KvrText = StrConv(bytes, vbUnicode)\n"
         "End Function\n";
}

// ------------------------------------------------------------------------------------------ .def

// The definition import libraries are built from (dlltool -k): every function that C declares
// __stdcall carries its @bytes, the name the compiler's symbol has; -k takes the suffix off again
// for the name imported from the DLL. The double family is decorated too, since kvr.h declares it
// __stdcall. The register and pointer families stay plain.
void write_decorated_def(std::ostream& o, const std::string& lib)
{
    o << "; " << lib << "-decorated.def: for building import libraries with dlltool -k.\n"
      << "; " << kGenerated << '\n'
      << "LIBRARY " << lib << ".dll\nEXPORTS\n";
    for (const Export& e : kvr::kExports) {
        o << "    " << e.name;
        if (c_declares(e.family)) o << '@' << kvr::stack_bytes(e);
        o << " @" << e.ordinal << '\n';
    }
}

// Writes one file; with crlf, every line ends in CR LF (the VB and VBA editors expect that).
bool write_file(const std::filesystem::path& path, const std::function<void(std::ostream&)>& writer,
                bool crlf = false)
{
    std::ostringstream text;
    writer(text);
    std::string bytes = text.str();
    if (crlf) {
        std::string converted;
        for (char c : bytes) {
            if (c == '\n') converted += '\r';
            converted += c;
        }
        bytes = converted;
    }
    std::filesystem::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    out.close();
    if (!out) std::fprintf(stderr, "kvr_genkit: cannot write %s\n", path.string().c_str());
    return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s KITDIR LINKCHECK.c\n", argv[0]);
        return 2;
    }
    const std::filesystem::path kit = argv[1];
    bool ok = write_file(kit / "include" / "kvr.h", write_c_header) &&
              write_file(kit / "pascal" / "kvr.pas", write_pascal) &&
              write_file(kit / "vb" / "kvr.bas", write_basic, true) && write_file(argv[2], write_linkcheck);
    for (const std::string lib : kLibraries)
        ok = ok && write_file(kit / lib / (lib + "-decorated.def"),
                              [&](std::ostream& o) { write_decorated_def(o, lib); });
    return ok ? 0 : 1;
}
