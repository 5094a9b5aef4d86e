#include "cli/options.h"

namespace tw {


std::string FindOptionValue(const TArguments& args, std::string_view option) {
    const std::string key = Trim(LowerCase(option));
    for (const std::string& arg : args) {
        const std::string head = arg.size() < 2 ? std::string() : Trim(LowerCase(arg.substr(0, 2)));
        if (head == key) return arg.substr(2);
    }
    return {};
}

bool HasOption(const TArguments& args, std::string_view option) {
    const std::string key = Trim(LowerCase(option));
    for (const std::string& arg : args)
        if (Trim(LowerCase(arg)).starts_with(key)) return true;
    return false;
}

std::optional<int32_t> TryStrToInt(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && s[i] == ' ')
        ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    unsigned base = 10;
    if (i < s.size() && (s[i] == '$' || s[i] == 'x' || s[i] == 'X')) {
        base = 16;
        ++i;
    } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
        base = 16;
        i += 2;
    }
    if (i == s.size()) return std::nullopt; // no digits
    // The magnitude may reach 2^31 only for a negative value.
    const uint64_t limit = negative ? uint64_t(1) << 31 : (uint64_t(1) << 31) - 1;
    uint64_t value = 0;
    for (; i < s.size(); ++i) {
        const char c = s[i];
        unsigned digit;
        if (c >= '0' && c <= '9')
            digit = unsigned(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = unsigned(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = unsigned(c - 'A' + 10);
        else
            return std::nullopt;
        if (digit >= base) return std::nullopt;
        value = value * base + digit;
        if (value > limit) return std::nullopt;
    }
    return negative ? int32_t(-int64_t(value)) : int32_t(value);
}

int32_t StrToIntDef(std::string_view s, int32_t fallback) {
    return TryStrToInt(s).value_or(fallback);
}

} // namespace tw
