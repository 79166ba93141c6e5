// Windows-1252, the code page of every text the libraries return (é is the byte 0xE9), to UTF-8.
#pragma once

#include <string>
#include <string_view>

namespace kvrbench {

// Bytes 0x00..0x7F are ASCII and 0xA0..0xFF are Latin-1; 0x80..0x9F hold the code page's own
// characters (0x80 the euro sign, 0x92 the right single quote, ...). The five bytes that the code
// page leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) become U+FFFD, so that they show.
std::string cp1252_to_utf8(std::string_view bytes);

}  // namespace kvrbench
