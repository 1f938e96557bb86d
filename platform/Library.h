#pragma once
#include <optional>
#include <string>

// Optional libraries beside the agent. Nothing here raises: a library or an
// entry point that isn't there answers nullopt.
namespace platform::lib {

// Calls the library's entry point that takes no arguments and answers a
// Boolean. The library is loaded from the given full path once and stays.
std::optional<bool> CallBoolEntry(const std::string& libraryPath, const std::string& entry);

}  // namespace platform::lib
