// Small text helpers shared by the tool's reports: printf-style formatting into a string, padding by
// displayed width (UTF-8 aware), and quoting of decoded texts.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace kvrbench {

// printf into a std::string.
std::string strf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Characters a terminal shows for a UTF-8 string: code points, not bytes (é is one column).
size_t display_width(std::string_view utf8);
// Pads with blanks on the right (left-aligned) or on the left (right-aligned) to `width` columns.
std::string pad_right(std::string_view utf8, size_t width);
std::string pad_left(std::string_view utf8, size_t width);

// A UTF-8 text in double quotes, with the quote, the backslash and control characters escaped so
// that what the library returned is visible byte for byte.
std::string quote_text(std::string_view utf8);

std::string hex_byte(uint8_t v);              // "0x3C"
std::string binary_byte(uint8_t v);           // "00111100"
std::string us_from_ns(uint64_t ns);          // "1010123.352": microseconds with three decimals
std::string g17(double v);                    // %.17g, so that a double reads back exactly

}  // namespace kvrbench
