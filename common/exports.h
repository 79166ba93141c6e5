// The export table of both libraries, written once.
//
// Each row is one exported name: its ordinal, its calling-convention family, the core operation it
// reaches and its signature. The build writes each library's .def file from this table; the tests
// and the host programmer's kit read it too. Both libraries export exactly these 58 names.
//
// Signature letters: i 32-bit integer, h 16-bit integer (low half of a 32-bit register),
// d double, s single, p pointer to a double, t text (pointer to a zero-terminated byte string).
#pragma once

namespace kvr {

enum class Family : unsigned char { Register, Pointer, Stdcall, Single, Double, StdcallDouble };

struct Export {
    const char* name;
    unsigned ordinal;
    Family family;
    const char* core;    // core operation reached
    const char* args;    // argument kinds, in declaration order
    char result;         // result kind
};

// Ordinals count down from 58 along the declared order; the ordinal base is 1.
inline constexpr Export kExports[] = {
    {"ea", 58, Family::Register, "ea", "i", 'i'},
    {"nea", 57, Family::Register, "nea", "i", 't'},
    {"ead", 56, Family::Register, "ead", "i", 'd'},
    {"nead", 55, Family::Register, "nead", "i", 't'},
    {"sa", 54, Family::Register, "sa", "ii", 'i'},
    {"nsa", 53, Family::Register, "nsa", "h", 't'},
    {"sad", 52, Family::Register, "sad", "id", 'd'},
    {"nsad", 51, Family::Register, "nsad", "i", 't'},
    {"rsa", 50, Family::Register, "rsa", "i", 'i'},
    {"rsad", 49, Family::Register, "rsad", "i", 'd'},
    {"eb", 48, Family::Register, "eb", "i", 'i'},
    {"neb", 47, Family::Register, "neb", "i", 't'},
    {"sb", 46, Family::Register, "sb", "ii", 'i'},
    {"nsb", 45, Family::Register, "nsb", "i", 't'},
    {"rsb", 44, Family::Register, "rsb", "i", 'i'},
    {"titre", 43, Family::Register, "titre", "", 't'},
    {"detail", 42, Family::Register, "detail", "", 't'},
    {"pead", 41, Family::Pointer, "ead", "i", 'p'},
    {"psad", 40, Family::Pointer, "sad", "ip", 'p'},
    {"eadouble", 39, Family::Double, "ead", "d", 'd'},
    {"neadouble", 38, Family::Double, "nead", "d", 't'},
    {"sadouble", 37, Family::Double, "sad", "dd", 'd'},
    {"nsadouble", 36, Family::Double, "nsad", "d", 't'},
    {"rsadouble", 35, Family::Double, "rsad", "d", 'd'},
    {"ebdouble", 34, Family::Double, "eb", "d", 'd'},
    {"nebdouble", 33, Family::Double, "neb", "d", 't'},
    {"sbdouble", 32, Family::Double, "sb", "dd", 'd'},
    {"nsbdouble", 31, Family::Double, "nsb", "d", 't'},
    {"rsbdouble", 30, Family::Double, "rsb", "d", 'd'},
    {"stdea", 29, Family::Stdcall, "ea", "i", 'i'},
    {"stdnea", 28, Family::Stdcall, "nea", "i", 't'},
    {"stdead", 27, Family::Stdcall, "ead", "i", 'd'},
    {"stdnead", 26, Family::Stdcall, "nead", "i", 't'},
    {"stdsa", 25, Family::Stdcall, "sa", "ii", 'i'},
    {"stdnsa", 24, Family::Stdcall, "nsa", "i", 't'},
    {"stdsad", 23, Family::Stdcall, "sad", "id", 'd'},
    {"stdnsad", 22, Family::Stdcall, "nsad", "i", 't'},
    {"stdeb", 21, Family::Stdcall, "eb", "i", 'i'},
    {"stdneb", 20, Family::Stdcall, "neb", "i", 't'},
    {"stdsb", 19, Family::Stdcall, "sb", "ii", 'i'},
    {"stdnsb", 18, Family::Stdcall, "nsb", "i", 't'},
    {"stdrsad", 17, Family::Stdcall, "rsad", "i", 'd'},
    {"stdrsb", 16, Family::Stdcall, "rsb", "i", 'i'},
    {"stdtitre", 15, Family::Stdcall, "titre", "", 't'},
    {"stddetail", 14, Family::Stdcall, "detail", "", 't'},
    {"stdeas", 13, Family::Single, "ead", "i", 's'},
    {"stdsas", 12, Family::Single, "sad", "is", 's'},
    {"stdrsas", 11, Family::Single, "rsad", "i", 's'},
    {"stdeadouble", 10, Family::StdcallDouble, "ead", "d", 'd'},
    {"stdneadouble", 9, Family::StdcallDouble, "nead", "d", 't'},
    {"stdsadouble", 8, Family::StdcallDouble, "sad", "dd", 'd'},
    {"stdnsadouble", 7, Family::StdcallDouble, "nsad", "d", 't'},
    {"stdrsadouble", 6, Family::StdcallDouble, "rsad", "d", 'd'},
    {"stdebdouble", 5, Family::StdcallDouble, "eb", "d", 'd'},
    {"stdnebdouble", 4, Family::StdcallDouble, "neb", "d", 't'},
    {"stdsbdouble", 3, Family::StdcallDouble, "sb", "dd", 'd'},
    {"stdnsbdouble", 2, Family::StdcallDouble, "nsb", "d", 't'},
    {"stdrsbdouble", 1, Family::StdcallDouble, "rsb", "d", 'd'},
};

inline constexpr unsigned kExportCount = sizeof kExports / sizeof kExports[0];

// The family's name as the documentation and the tools write it.
constexpr const char* family_name(Family f)
{
    switch (f) {
    case Family::Register: return "register";
    case Family::Pointer: return "pointer";
    case Family::Stdcall: return "stdcall";
    case Family::Single: return "single";
    case Family::Double: return "double";
    case Family::StdcallDouble: return "stdcall double";
    }
    return "?";
}

// The families that pass every argument on the stack.
constexpr bool all_on_stack(Family f)
{
    return f == Family::Stdcall || f == Family::Single || f == Family::Double ||
           f == Family::StdcallDouble;
}

// Bytes of arguments the function removes from the stack on return. In the register convention only
// doubles travel on the stack; in the others every argument does.
constexpr unsigned stack_bytes(const Export& e)
{
    unsigned n = 0;
    for (const char* a = e.args; *a; ++a) {
        const unsigned size = *a == 'd' ? 8 : 4;
        if (all_on_stack(e.family) || *a == 'd') n += size;
    }
    return n;
}

}  // namespace kvr
