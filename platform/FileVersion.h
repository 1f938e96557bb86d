#pragma once
// Version resources of program files. A file without one reads as nullopt;
// nothing here raises.
#include <optional>
#include <string>

namespace platform::sys {

// The fixed language block 040904E4 of a file's version resource: the text,
// "" when the block lacks the name, nullopt when the file has no version resource.
std::optional<std::string> VersionString(const std::string& filePath, const std::string& name);

}  // namespace platform::sys
