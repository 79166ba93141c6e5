// Calls as the command line writes them: `name(arg, arg)` or `#ordinal(arg, arg)`, e.g. `ead(2)`,
// `stdsad(0, 4.5)`, `#27(5)`, `titre()`. A bare name is a call without arguments.
//
// Each argument is typed by the export's signature in the one export table:
//   i, h  an integer, decimal or 0x hex, from -2147483648 to 4294967295 (taken modulo 2^32, so
//         0xFFFFFFFF is -1); h passes the whole 32-bit value, of which nsa looks at the low half
//   d     a double: decimal, nan, inf, -inf, -0
//   s     a single, written as a double and rounded to the nearest single
//   p     a double that the tool places in guest memory, passing its address; or `null`
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/exports.h"

namespace kvrbench {

// The syntax alone: what is called and the argument texts, trimmed.
struct CallText {
    bool by_ordinal = false;
    std::string name;        // when !by_ordinal
    unsigned ordinal = 0;    // when by_ordinal
    std::vector<std::string> args;
};
CallText parse_call_text(std::string_view text);  // throws UsageError

struct ArgValue {
    char kind = 'i';       // signature letter
    int32_t i = 0;         // i, h
    double d = 0;          // d, p (the pointed-to double)
    float s = 0;           // s
    bool null = false;     // p: a null pointer
};

// A call checked against the export table, its arguments typed.
struct Call {
    const kvr::Export* e = nullptr;
    bool by_ordinal = false;
    std::vector<ArgValue> args;
};
// Throws UsageError for bad syntax, an unknown name or ordinal, a wrong argument count or type.
Call parse_call(std::string_view text);

// The export's signature for messages: "stdsad(int, double)".
std::string signature(const kvr::Export& e);
// The call as the tool shows it, with arguments written back in a form that reads back the same:
// "stdsad(0, 4.5)", or "#27 stdead(5)" when it was called by ordinal.
std::string show_call(const Call& c);
std::string show_arg(const ArgValue& a);

// Typed values on their own, for options that take numbers too. Throw UsageError naming `what`.
// An integer: decimal or 0x hex, optionally signed, from -2^31 to 2^32 - 1.
int64_t parse_integer(std::string_view text, const std::string& what);
// A double: decimal (with exponent), nan, inf, -inf, -0; hex and digits-only texts included.
double parse_double(std::string_view text, const std::string& what);

}  // namespace kvrbench
