#include "callsyntax.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>

#include "errors.h"
#include "exportcall.h"
#include "text.h"

namespace kvrbench {

namespace {

constexpr int64_t kMinInteger = std::numeric_limits<int32_t>::min();
constexpr int64_t kMaxInteger = std::numeric_limits<uint32_t>::max();
constexpr unsigned kFirstOrdinal = 1;

std::string_view trim(std::string_view s)
{
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.front()))) s.remove_prefix(1);
    while (!s.empty() && std::isspace(static_cast<unsigned char>(s.back()))) s.remove_suffix(1);
    return s;
}

std::string lower(std::string_view s)
{
    std::string l(s);
    std::transform(l.begin(), l.end(), l.begin(), [](unsigned char c) { return std::tolower(c); });
    return l;
}

bool is_name_char(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; }

const char* kind_name(char kind)
{
    switch (kind) {
    case 'i': return "int";
    case 'h': return "int16";
    case 'd': return "double";
    case 's': return "single";
    case 'p': return "double*";
    default: return "?";
    }
}

const kvr::Export& lookup(const CallText& t)
{
    if (t.by_ordinal) {
        if (const kvr::Export* e = kvrtools::find_export_by_ordinal(t.ordinal)) return *e;
        throw UsageError(strf("no export has the ordinal %u (the ordinals run from %u to %u)", t.ordinal,
                              kFirstOrdinal, kvr::kExportCount));
    }
    if (const kvr::Export* e = kvrtools::find_export(t.name)) return *e;
    std::string msg = "unknown export '" + t.name + "'";
    if (kvrtools::find_export(lower(t.name))) msg += " (export names are lower case: " + lower(t.name) + ")";
    throw UsageError(msg);
}

ArgValue typed(char kind, const std::string& text, const kvr::Export& e, size_t index)
{
    const std::string what = strf("argument %zu of %s", index + 1, signature(e).c_str());
    ArgValue a;
    a.kind = kind;
    switch (kind) {
    case 'i':
    case 'h': a.i = static_cast<int32_t>(static_cast<uint32_t>(parse_integer(text, what))); break;
    case 'd': a.d = parse_double(text, what); break;
    case 's': {
        const double d = parse_double(text, what);
        if (std::isfinite(d) && std::fabs(d) > std::numeric_limits<float>::max())
            throw UsageError(what + ": " + text + " is out of the range of a single");
        a.s = static_cast<float>(d);
        break;
    }
    case 'p':
        if (lower(text) == "null") {
            a.null = true;
            break;
        }
        try {
            a.d = parse_double(text, what);
        } catch (const UsageError&) {
            throw UsageError(what + " must be a number to point to, or null, got '" + text + "'");
        }
        break;
    default: throw UsageError(what + " has the unknown kind '" + std::string(1, kind) + "'");
    }
    return a;
}

}  // namespace

int64_t parse_integer(std::string_view text, const std::string& what)
{
    std::string_view s = trim(text);
    bool negative = false;
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    uint64_t magnitude = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), magnitude, base);
    if (s.empty() || ec == std::errc::invalid_argument || end != s.data() + s.size())
        throw UsageError(what + " must be an integer (decimal or 0x hex), got '" + std::string(text) + "'");
    const bool fits = ec == std::errc{} &&
                      (negative ? magnitude <= static_cast<uint64_t>(-kMinInteger) : magnitude <= kMaxInteger);
    if (!fits) throw UsageError(what + ": " + std::string(text) + " does not fit 32 bits");
    return negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
}

double parse_double(std::string_view text, const std::string& what)
{
    std::string_view s = trim(text);
    bool negative = false;
    if (!s.empty() && (s.front() == '-' || s.front() == '+')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    const auto bad = [&] {
        return UsageError(what + " must be a number (decimal, nan, inf, -inf), got '" + std::string(text) + "'");
    };
    // from_chars takes no sign of its own and would read "-nan" and "+inf" only through it.
    if (s.empty() || s.front() == '-' || s.front() == '+') throw bad();
    double v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (ec == std::errc::invalid_argument || end != s.data() + s.size()) throw bad();
    if (ec == std::errc::result_out_of_range)
        throw UsageError(what + ": " + std::string(text) + " is out of the range of a double");
    return negative ? -v : v;
}

CallText parse_call_text(std::string_view text)
{
    const std::string shown(text);
    const auto bad = [&](const std::string& why) {
        return UsageError("cannot read the call '" + shown + "': " + why +
                          " (write NAME(ARG, ...) or #ORDINAL(ARG, ...))");
    };
    std::string_view s = trim(text);
    CallText t;
    if (!s.empty() && s.front() == '#') {
        t.by_ordinal = true;
        s.remove_prefix(1);
        size_t n = 0;
        while (n < s.size() && std::isdigit(static_cast<unsigned char>(s[n]))) ++n;
        if (n == 0) throw bad("no ordinal after '#'");
        const auto [end, ec] = std::from_chars(s.data(), s.data() + n, t.ordinal);
        if (ec != std::errc{}) throw bad("the ordinal is too large");
        s.remove_prefix(n);
    } else {
        size_t n = 0;
        while (n < s.size() && is_name_char(s[n])) ++n;
        if (n == 0) throw bad("no export name");
        t.name = std::string(s.substr(0, n));
        s.remove_prefix(n);
    }
    s = trim(s);
    if (s.empty()) return t;  // a bare name: no arguments
    if (s.front() != '(') throw bad("expected '(' after the name");
    if (s.back() != ')') throw bad("missing ')' at the end");
    std::string_view inside = trim(s.substr(1, s.size() - 2));
    if (inside.find_first_of("()") != std::string_view::npos) throw bad("unbalanced parentheses");
    if (inside.empty()) return t;
    for (;;) {
        const size_t comma = inside.find(',');
        const std::string_view arg = trim(inside.substr(0, comma));
        if (arg.empty()) throw bad("an empty argument");
        t.args.emplace_back(arg);
        if (comma == std::string_view::npos) break;
        inside.remove_prefix(comma + 1);
    }
    return t;
}

Call parse_call(std::string_view text)
{
    const CallText t = parse_call_text(text);
    const kvr::Export& e = lookup(t);
    const size_t want = std::char_traits<char>::length(e.args);
    if (t.args.size() != want)
        throw UsageError(strf("%s takes %zu argument%s, got %zu in '%s'", signature(e).c_str(), want,
                              want == 1 ? "" : "s", t.args.size(), std::string(trim(text)).c_str()));
    Call c;
    c.e = &e;
    c.by_ordinal = t.by_ordinal;
    for (size_t k = 0; k < want; ++k) c.args.push_back(typed(e.args[k], t.args[k], e, k));
    return c;
}

std::string signature(const kvr::Export& e)
{
    std::string s = std::string(e.name) + "(";
    for (const char* a = e.args; *a; ++a) {
        if (a != e.args) s += ", ";
        s += kind_name(*a);
    }
    return s + ")";
}

std::string show_arg(const ArgValue& a)
{
    switch (a.kind) {
    case 'i':
    case 'h': return std::to_string(a.i);
    case 'd': return g17(a.d);
    case 's': return strf("%.9g", static_cast<double>(a.s));
    case 'p': return a.null ? "null" : "&" + g17(a.d);
    default: return "?";
    }
}

std::string show_call(const Call& c)
{
    std::string s = c.by_ordinal ? strf("#%u %s(", c.e->ordinal, c.e->name) : std::string(c.e->name) + "(";
    for (size_t k = 0; k < c.args.size(); ++k) {
        if (k) s += ", ";
        s += show_arg(c.args[k]);
    }
    return s + ")";
}

}  // namespace kvrbench
