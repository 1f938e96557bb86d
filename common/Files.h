#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace qz {

// Whether a name a server sent can be used as a file name in one folder:
// not empty, at most 200 characters, no separators, drive, "..", characters
// Windows forbids or control characters, no reserved device name (CON,
// NUL, COM1, ... with or without an extension), no trailing dot or blank.
bool IsPlainFileName(const std::string& name);

// The name with its extension replaced (or added when it has none).
std::string ChangeFileExt(const std::string& name, const std::string& ext);

// The whole file; raises when it can't be opened or read.
std::vector<uint8_t> ReadWholeFile(const std::string& fileName);

// The new content was written whole but could not take the old file's place.
class EReplaceError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Writes the data to a fresh temporary file beside `fileName` and moves it
// over the old file in one step, so a reader sees the old content or the new,
// never a mixture. Raises std::runtime_error when the data can't be written
// (the old file untouched) and EReplaceError when the move fails; no
// temporary file is left behind either way.
void ReplaceFileContent(const std::string& fileName, const std::vector<uint8_t>& data);

}  // namespace qz
