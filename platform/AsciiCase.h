#pragma once
// Letter case of ASCII text, for names the system compares without case
// (registry keys and values, services, switches). Other bytes stay as they are.
#include <string>

namespace platform {

inline std::string AsciiLower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

}  // namespace platform
