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

std::string Utf16ToUtf8(const std::u16string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        uint32_t c = text[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (text[++i] - 0xDC00);
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

}  // namespace qz
