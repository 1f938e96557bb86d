#pragma once
// The agent's own folders and files: protected access lists, and writes that
// either land whole on the disk or leave the old file in place. Every call
// raises SystemError on failure.
#include <cstdint>
#include <string>
#include <vector>

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

}  // namespace platform::files
