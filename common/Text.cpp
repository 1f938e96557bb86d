#include "common/Text.h"

#include <charconv>

namespace qz {

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
    while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
    return s.substr(b, e - b);
}

bool StartsWithNoCase(const std::string& s, const std::string& lowerPrefix) {
    return s.size() >= lowerPrefix.size() && AsciiLower(s.substr(0, lowerPrefix.size())) == lowerPrefix;
}

std::optional<int32_t> TryParseInt32(const std::string& s) {
    const char* first = s.data();
    const char* last = s.data() + s.size();
    if (first != last && *first == '+') {
        ++first;
        if (first != last && *first == '-') return std::nullopt;
    }
    int32_t value = 0;
    const auto r = std::from_chars(first, last, value);
    if (r.ec != std::errc() || r.ptr != last) return std::nullopt;
    return value;
}

int32_t ParseInt32(const std::string& s) {
    if (auto v = TryParseInt32(s)) return *v;
    throw EConvertError("'" + s + "' is not a valid integer value");
}

bool ParseBool(const std::string& s) {
    const std::string l = AsciiLower(s);
    if (l == "true") return true;
    if (l == "false") return false;
    throw EConvertError("'" + s + "' is not a valid boolean value");
}

}  // namespace qz
