#include "codecs/pnm.h"

#include <cctype>

namespace tw {

static bool IsAlnum(int c) { return std::isalnum(c) != 0 && c < 128; }

std::string PnmReadToken(TStream& stream) {
    std::string result;
    uint8_t c;
    // Skip to a comment or the start of a token.
    for (;;) {
        if (stream.Read(&c, 1) != 1) return result;
        if (c == '#' || IsAlnum(c)) break;
    }
    if (c == '#') {
        std::string text;
        while (stream.Read(&c, 1) == 1 && c != 10 && c != 13) text += char(c);
        size_t b = 0, e = text.size();
        while (b < e && uint8_t(text[b]) <= 32) ++b;
        while (e > b && uint8_t(text[e - 1]) <= 32) --e;
        return "#" + text.substr(b, e - b);
    }
    result += char(c);
    while (stream.Read(&c, 1) == 1 && IsAlnum(c)) result += char(c);
    return result;
}

} // namespace tw
