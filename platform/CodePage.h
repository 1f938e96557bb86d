#pragma once
// Text in the system's ANSI code page. Nothing here raises.
#include <string>

namespace platform::sys {

// UTF-8 to the system's ANSI code page, as written to the log file.
std::string Utf8ToAnsi(const std::string& text);

}  // namespace platform::sys
