#include <filesystem>
#include <fstream>

#include "platform/Errors.h"
#include "platform/FsPath.h"
#include "platform/fake/FakeWorld.h"

// The host's real files, with the access lists recorded instead of applied
// and faults that tests can inject.
namespace platform::files {

namespace stdfs = std::filesystem;
using fake::Locked;

namespace {

std::string Trimmed(std::string path) {
    while (path.size() > 1 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
    return path;
}


}  // namespace

bool IsReparsePoint(const std::string& path) {
    std::error_code ec;
    return stdfs::is_symlink(FsPath(Trimmed(path)), ec);
}

void SecureFolder(const std::string& folder, Others others) {
    const std::string path = Trimmed(folder);
    const stdfs::path p = FsPath(path);
    std::error_code ec;
    if (IsReparsePoint(path)) stdfs::remove(p, ec);  // the link, never its target
    stdfs::create_directories(p, ec);
    if (ec || !stdfs::is_directory(p, ec)) ThrowSystemError(267);  // not a folder
    for (const auto& entry : stdfs::directory_iterator(p, ec))
        if (entry.is_symlink(ec)) stdfs::remove(entry.path(), ec);  // the link, never its target
    Locked()->securedFolders[AsciiLower(path)] = others;
}

void WriteNewFile(const std::string& path, const std::vector<uint8_t>& data) {
    const stdfs::path p = FsPath(path);
    std::error_code ec;
    if (stdfs::exists(stdfs::symlink_status(p, ec))) ThrowSystemError(ErrorFileExists);
    std::optional<size_t> room = Locked()->diskFullAfterBytes;
    {
        std::ofstream out(p, std::ios::binary);
        if (!out) ThrowSystemError(3);  // path not found
        const size_t n = room ? std::min(*room, data.size()) : data.size();
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(n));
        out.flush();
        if (out && n == data.size()) return;
    }
    stdfs::remove(p, ec);
    ThrowSystemError(ErrorDiskFull);
}

void MoveOver(const std::string& from, const std::string& to) {
    {
        Locked w;
        if (w->replaceFailures > 0) {
            --w->replaceFailures;
            ThrowSystemError(ErrorAccessDenied);
        }
    }
    std::error_code ec;
    stdfs::rename(FsPath(from), FsPath(to), ec);
    if (ec) ThrowSystemError(ErrorAccessDenied);
}

}  // namespace platform::files
