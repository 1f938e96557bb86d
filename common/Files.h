#pragma once
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/FileSystem.h"

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

// A file's new content, written as it comes to a fresh, unguessable
// temporary file beside it (created exclusively with the protected access
// list, so no planted file or link is ever opened) and moved over the old
// file by Commit once it is whole and flushed to the disk. Writes raise
// std::runtime_error; Commit raises EReplaceError when the move fails. No
// temporary file is left behind: one not committed goes with the object.
class TReplacingFile {
public:
    // Users may read the file when usersRead (what session programs show).
    explicit TReplacingFile(const std::string& fileName, bool usersRead = false);
    ~TReplacingFile();
    TReplacingFile(const TReplacingFile&) = delete;
    TReplacingFile& operator=(const TReplacingFile&) = delete;
    void Write(const void* data, size_t size);
    void Commit();

private:
    std::string FFileName;
    std::unique_ptr<platform::files::NewFile> FTemp;
};

// The whole content through a TReplacingFile: a reader sees the old content
// or the new, never a mixture. Raises std::runtime_error when the data can't
// be written (the old file untouched) and EReplaceError when the move fails.
void ReplaceFileContent(const std::string& fileName, const std::vector<uint8_t>& data);

}  // namespace qz
