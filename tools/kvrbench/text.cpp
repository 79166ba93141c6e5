#include "text.h"

#include <cstdarg>
#include <cstdio>

namespace kvrbench {

namespace {
constexpr uint64_t kNsPerUs = 1000;
constexpr unsigned char kUtf8ContinuationMask = 0xC0, kUtf8Continuation = 0x80;
constexpr unsigned char kFirstPrintable = 0x20, kDelete = 0x7F;
}  // namespace

std::string strf(const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    va_list again;
    va_copy(again, ap);
    const int n = std::vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    std::string s(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(s.data(), s.size() + 1, fmt, again);
    va_end(again);
    return s;
}

size_t display_width(std::string_view utf8)
{
    size_t n = 0;
    for (const char c : utf8)
        if ((static_cast<unsigned char>(c) & kUtf8ContinuationMask) != kUtf8Continuation) ++n;
    return n;
}

std::string pad_right(std::string_view utf8, size_t width)
{
    std::string s(utf8);
    const size_t w = display_width(utf8);
    if (w < width) s.append(width - w, ' ');
    return s;
}

std::string pad_left(std::string_view utf8, size_t width)
{
    const size_t w = display_width(utf8);
    return std::string(w < width ? width - w : 0, ' ') + std::string(utf8);
}

std::string quote_text(std::string_view utf8)
{
    std::string s = "\"";
    for (const char c : utf8) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            s += '\\';
            s += c;
        } else if (u < kFirstPrintable || u == kDelete) {
            s += strf("\\x%02X", u);
        } else {
            s += c;
        }
    }
    return s + "\"";
}

std::string hex_byte(uint8_t v) { return strf("0x%02X", v); }

std::string binary_byte(uint8_t v)
{
    std::string s;
    for (int bit = 7; bit >= 0; --bit) s += (v >> bit & 1) ? '1' : '0';
    return s;
}

std::string us_from_ns(uint64_t ns)
{
    return strf("%llu.%03llu", static_cast<unsigned long long>(ns / kNsPerUs),
                static_cast<unsigned long long>(ns % kNsPerUs));
}

std::string g17(double v) { return strf("%.17g", v); }

}  // namespace kvrbench
