#pragma once
// Starting other programs. Failures answer false; nothing here raises.
#include <string>

namespace platform::sys {

// Starts a program hidden, without waiting. Returns false when it could not start.
bool StartHidden(const std::string& commandLine);

}  // namespace platform::sys
