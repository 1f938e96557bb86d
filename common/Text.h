#pragma once
// Small text helpers shared by every subsystem: letter case, trimming, and
// the integer and Boolean forms that settings and server documents use.
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>

#include "platform/AsciiCase.h"

namespace qz {

using platform::AsciiLower;

// A text that is not the number or Boolean it should be.
class EConvertError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Without leading and trailing blanks and control characters.
std::string Trim(const std::string& s);
// UTF-16 (as the registry keeps text) to UTF-8; a lone surrogate becomes U+FFFD.
std::string Utf16ToUtf8(const std::u16string& text);
bool StartsWithNoCase(const std::string& s, const std::string& lowerPrefix);

// Decimal with an optional sign, nothing else (no blanks), within 32 bits.
std::optional<int32_t> TryParseInt32(const std::string& s);
// As TryParseInt32; raises EConvertError "'s' is not a valid integer value".
int32_t ParseInt32(const std::string& s);
// "true" or "false" in any letter case; raises EConvertError otherwise.
bool ParseBool(const std::string& s);

// The Boolean as the documents write it: "true" / "false".
inline const char* BoolText(bool b) { return b ? "true" : "false"; }
// The Boolean as log lines and the state document's attributes write it: "True" / "False".
inline const char* BoolTitleText(bool b) { return b ? "True" : "False"; }

}  // namespace qz
