#pragma once
// The agent's own folders and files: protected access lists, and writes that
// either land whole on the disk or leave the old file in place. Every call
// raises SystemError on failure.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/DateTime.h"

namespace platform::files {

// Who may use a folder besides SYSTEM and the administrators, who always have
// full control. What the folder holds inherits the same.
enum class Others { None, Read };

// How far SecureFolder reaches: the folder and the files directly in it (a
// folder shared with other programs' folders), or everything below it.
enum class Scope { FolderAndFiles, Tree };

// A part of a folder that could not be given its list or removed.
struct SecureFailure {
    std::string path;
    uint32_t error = 0;
};

// Makes the folder when it is missing (its parents too) and gives it a
// protected access list that nothing above can widen, owned by the
// administrators; what it holds (within the scope) gets the same owner and
// list, whoever owned it. The caller enables the privileges to take
// ownership and restore first (OwnershipPrivileges), so a list that denies
// SYSTEM and the administrators is overcome. A reparse point (a junction or
// link someone planted) is never followed: one in the folder's place, or
// inside it, is removed (the link, not its target) and a real folder made
// instead. A part that fails doesn't end the pass; when any did, failures
// (if given) lists each and SystemError is raised at the end with the first
// one's code.
void SecureFolder(const std::string& path, Others others, Scope scope = Scope::Tree,
                  std::vector<SecureFailure>* failures = nullptr);
constexpr const char* OwnershipPrivileges[] = {"SeTakeOwnershipPrivilege", "SeRestorePrivilege"};

// Whether the path is a reparse point (junction, symbolic link, mount point).
bool IsReparsePoint(const std::string& path);

// A file written exclusively: created new (ERROR_FILE_EXISTS when anything,
// a link included, has the name), with the protected access list of
// SecureFolder(.., others), and flushed through to the disk by Finish,
// which closes it. One that goes unfinished is closed and removed.
class NewFile {
public:
    NewFile(const std::string& path, Others others);
    ~NewFile();
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    void Write(const void* data, size_t size);
    void Finish();
    const std::string& Path() const { return path_; }

private:
    std::string path_;
    uintptr_t handle_ = 0;  // the backend's own
    bool finished_ = false;
};

// A NewFile with the list of SecureFolder(.., None), written whole.
void WriteNewFile(const std::string& path, const std::vector<uint8_t>& data);

// Moves `from` over `to` in one step, through to the disk. Moves a folder
// too, when nothing has the name `to`.
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
