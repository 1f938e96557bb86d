#pragma once
// The agent's own folders and files: protected access lists, and writes that
// either land whole on the disk or leave the old file in place. Every call
// raises SystemError on failure.
#include <cstdint>
#include <string>
#include <vector>

#include "platform/DateTime.h"

namespace platform::files {

// Who may use a folder besides SYSTEM and the administrators, who always have
// full control. What the folder holds inherits the same.
enum class Others { None, Read };

// Makes the folder when it is missing (its parents too) and gives it a
// protected access list that nothing above can widen, owned by the
// administrators; the files directly in it get the same list. A reparse
// point (a junction or link someone planted) is never followed: one in the
// folder's place, or inside it, is removed (the link, not its target) and a
// real folder made instead.
void SecureFolder(const std::string& path, Others others);

// Whether the path is a reparse point (junction, symbolic link, mount point).
bool IsReparsePoint(const std::string& path);

// Writes a file that must not exist yet (ERROR_FILE_EXISTS otherwise), with
// the protected access list of SecureFolder(.., None), flushed through to the
// disk before it is closed. On failure the partly written file is removed.
void WriteNewFile(const std::string& path, const std::vector<uint8_t>& data);

// Moves `from` over `to` in one step, through to the disk.
void MoveOver(const std::string& from, const std::string& to);

// MS-DOS attribute bits of a found file.
constexpr uint32_t AttrReadOnly = 0x01, AttrHidden = 0x02, AttrSystem = 0x04, AttrDirectory = 0x10,
                   AttrArchive = 0x20;

struct FoundFile {
    std::string name;           // the name alone
    uint32_t attributes = 0;    // the system's attribute bits
    uint64_t size = 0;
    qz::DateTimeParts lastWrite;  // local time
    bool directory() const { return (attributes & AttrDirectory) != 0; }
};
// The entries a mask such as "C:\\Logs\\*.log" matches (the system's own
// wildcards, any letter case), in the order the file system lists them,
// without "." and "..". A folder that doesn't exist answers no entries.
std::vector<FoundFile> FindFiles(const std::string& mask);

// The whole file, opened with all sharing allowed so the programs writing it
// (and renaming it) go on undisturbed. A file larger than maxBytes raises
// ERROR_FILE_TOO_LARGE (223) without being read.
constexpr uint32_t ErrorFileTooLarge = 223;
std::vector<uint8_t> ReadShared(const std::string& path, size_t maxBytes);

}  // namespace platform::files
