#pragma once
// Version resources and shell facts of program files. A file without a
// version resource reads as nullopt; nothing here raises.
#include <optional>
#include <string>
#include <vector>

namespace platform::sys {

// The fixed language block 040904E4 of a file's version resource: the text,
// "" when the block lacks the name, nullopt when the file has no version resource.
std::optional<std::string> VersionString(const std::string& filePath, const std::string& name);

// The shell's view of an image: its type name (at most 80 characters) and
// whether it is an executable. Network paths are not asked: empty and false.
// File-system redirection of a 32-bit program is off while asking. The type
// name only when asked: under Wine the shell reads it through COM, which then
// stays loaded in the process.
struct ImageShellFacts {
    std::string fileType;
    bool executable = false;
};
ImageShellFacts DescribeImage(const std::string& filePath, bool withTypeName = true);

// The named strings of the first language and code page that the version
// resource's translation table lists, in the order asked ("" for a missing
// one); nullopt when there is no version resource or no translation. As
// above, a 32-bit program reads the file the path names, not its SysWOW64 twin.
std::optional<std::vector<std::string>> TranslatedVersionStrings(const std::string& filePath,
                                                                 const std::vector<std::string>& names);

}  // namespace platform::sys
