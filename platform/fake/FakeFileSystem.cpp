#include <algorithm>
#include <ctime>
#include <mutex>
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

namespace {

// The system's wildcards: "*" any run, "?" one character, letters in any case.
bool Matches(const char* mask, const char* name) {
    for (; *mask; ++mask, ++name) {
        if (*mask == '*') {
            for (const char* n = name;; ++n) {
                if (Matches(mask + 1, n)) return true;
                if (!*n) return false;
            }
        }
        if (!*name) return false;
        if (*mask != '?' && AsciiLower(std::string(1, *mask)) != AsciiLower(std::string(1, *name))) return false;
    }
    return !*name;
}

}  // namespace

std::vector<FoundFile> FindFiles(const std::string& mask) {
    std::vector<FoundFile> found;
    const auto sep = mask.find_last_of("\\/");
    const std::string folder = sep == std::string::npos ? "." : mask.substr(0, sep);
    const std::string pattern = sep == std::string::npos ? mask : mask.substr(sep + 1);
    std::error_code ec;
    stdfs::directory_iterator it(FsPath(folder), ec);
    if (ec) return found;
    std::vector<stdfs::directory_entry> entries(it, stdfs::directory_iterator());
    // A stable listing order, as the system's is.
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
    for (const auto& e : entries) {
        const std::string name = e.path().filename().string();
        if (!Matches(pattern.c_str(), name.c_str())) continue;
        FoundFile f;
        f.name = name;
        const bool dir = e.is_directory(ec);
        f.attributes = dir ? AttrDirectory : AttrArchive;
        const auto perms = e.status(ec).permissions();
        if (!dir && (perms & stdfs::perms::owner_write) == stdfs::perms::none) f.attributes |= AttrReadOnly;
        f.size = dir ? 0 : e.file_size(ec);
        const auto t = e.last_write_time(ec);
        const std::time_t tt = std::chrono::system_clock::to_time_t(
            std::chrono::time_point_cast<std::chrono::system_clock::duration>(
                t - stdfs::file_time_type::clock::now() + std::chrono::system_clock::now()));
        // The fake machine keeps its clock in UTC.
        std::tm tm{};
        {
            static std::mutex guard;
            std::lock_guard<std::mutex> hold(guard);
            tm = *std::gmtime(&tt);
        }
        f.lastWrite = {tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, 0};
        found.push_back(std::move(f));
    }
    return found;
}

std::vector<uint8_t> ReadShared(const std::string& path, size_t maxBytes) {
    std::error_code ec;
    const stdfs::path p = FsPath(path);
    if (!stdfs::is_regular_file(p, ec)) ThrowSystemError(2);  // file not found
    if (stdfs::file_size(p, ec) > maxBytes) ThrowSystemError(ErrorFileTooLarge);
    std::ifstream in(p, std::ios::binary);
    if (!in) ThrowSystemError(ErrorAccessDenied);
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (data.size() > maxBytes) ThrowSystemError(ErrorFileTooLarge);
    return data;
}

}  // namespace platform::files
