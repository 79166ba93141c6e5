// Channel names and identification texts: zero-terminated Windows-1252 byte strings (é is the single
// byte 0xE9), never null. Numbered names are prepared at compile time, one per channel, so a name stays
// readable for as long as the library is loaded, whatever is called afterwards and on any thread.
#pragma once

namespace kvr {

inline constexpr char kEmptyText[] = "";

// Prefixes and suffix shared by both libraries. "\xE9" is é; the literal is split after it so
// that the next letter is not read as a further hex digit.
inline constexpr char kAnalogInPrefix[] = "entr\xE9" "e analogique ";
inline constexpr char kVoltsInPrefix[] = "EA ";
inline constexpr char kVoltsInSuffix[] = " (volts)";
inline constexpr char kDigitalInPrefix[] = "entr\xE9" "e logique ";
inline constexpr char kDigitalOutPrefix[] = "sortie logique ";

// Count texts "<prefix><n><suffix>" for n = 0 .. Count - 1; n is written in decimal, at most two
// digits, without leading zeros, blanks or sign.
template <unsigned Count, unsigned Width>
struct NumberedTexts {
    char text[Count][Width];

    // The text of channel n, or the empty text when n is not 0 .. Count - 1.
    constexpr const char* operator[](int n) const
    {
        return n >= 0 && n < static_cast<int>(Count) ? text[n] : kEmptyText;
    }
};

template <unsigned Count, unsigned P, unsigned S>
constexpr NumberedTexts<Count, P + S + 1> numbered(const char (&prefix)[P], const char (&suffix)[S])
{
    static_assert(Count <= 100, "two decimal digits at most");
    NumberedTexts<Count, P + S + 1> t{};
    for (unsigned n = 0; n < Count; ++n) {
        unsigned k = 0;
        for (unsigned i = 0; i + 1 < P; ++i) t.text[n][k++] = prefix[i];
        if (n >= 10) t.text[n][k++] = static_cast<char>('0' + n / 10);
        t.text[n][k++] = static_cast<char>('0' + n % 10);
        for (unsigned i = 0; i + 1 < S; ++i) t.text[n][k++] = suffix[i];
        t.text[n][k] = '\0';
    }
    return t;
}

}  // namespace kvr
