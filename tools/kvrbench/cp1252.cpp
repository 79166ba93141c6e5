#include "cp1252.h"

#include <cstdint>

namespace kvrbench {

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr unsigned char kFirstSpecial = 0x80, kFirstLatin1 = 0xA0;

// Code points of the bytes 0x80..0x9F.
constexpr char32_t kSpecial[32] = {
    0x20AC, kReplacement, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,  // 80..87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, kReplacement, 0x017D, kReplacement,  // 88..8F
    kReplacement, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90..97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, kReplacement, 0x017E, 0x0178,  // 98..9F
};

void append_utf8(std::string& out, char32_t cp)
{
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {  // every code point here is in the basic plane
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

}  // namespace

std::string cp1252_to_utf8(std::string_view bytes)
{
    std::string out;
    out.reserve(bytes.size() + bytes.size() / 4);
    for (const char c : bytes) {
        const auto b = static_cast<unsigned char>(c);
        if (b < kFirstSpecial || b >= kFirstLatin1)
            append_utf8(out, b);
        else
            append_utf8(out, kSpecial[b - kFirstSpecial]);
    }
    return out;
}

}  // namespace kvrbench
