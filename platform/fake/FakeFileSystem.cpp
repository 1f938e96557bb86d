#include <algorithm>
#include <memory>
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

namespace {

bool PrivilegeEnabled(const fake::World& w, const std::string& name) {
    for (auto it = w.privilegeChanges.rbegin(); it != w.privilegeChanges.rend(); ++it)
        if (it->first == name) return it->second;
    return false;
}

// Gives one folder or file our owner and list; false while another user holds
// it and taking ownership can't win it back.
bool Take(const std::string& path, bool folder, Others others) {
    Locked w;
    const std::string key = AsciiLower(path);
    const auto f = w->foreignOwned.find(key);
    if (f != w->foreignOwned.end()) {
        for (const char* p : OwnershipPrivileges)
            if (!f->second || !PrivilegeEnabled(*w, p)) return false;
        w->foreignOwned.erase(f);
    }
    (folder ? w->securedFolders : w->fileLists)[key] = others;
    return true;
}

constexpr int MaxDepth = 32;
constexpr uint32_t ErrorFilenameTooLong = 206;

void Pass(const std::string& path, Others others, Scope scope, std::vector<SecureFailure>& failed, int depth) {
    if (!Take(path, true, others)) {
        failed.push_back({path, ErrorAccessDenied});
        return;
    }
    std::error_code ec;
    std::vector<stdfs::directory_entry> entries(stdfs::directory_iterator(FsPath(path), ec), stdfs::directory_iterator());
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return a.path().filename() < b.path().filename(); });
    for (const auto& entry : entries) {
        const std::string child = path + "\\" + entry.path().filename().string();
        if (entry.is_symlink(ec)) {
            if (!stdfs::remove(entry.path(), ec) || ec) failed.push_back({child, ErrorAccessDenied});  // the link, never its target
        } else if (entry.is_directory(ec)) {
            if (scope != Scope::Tree) continue;
            if (depth >= MaxDepth)
                failed.push_back({child, ErrorFilenameTooLong});
            else
                Pass(child, others, scope, failed, depth + 1);
        } else if (!Take(child, false, others)) {
            failed.push_back({child, ErrorAccessDenied});
        }
    }
}

}  // namespace

void SecureFolder(const std::string& folder, Others others, Scope scope, std::vector<SecureFailure>* failures) {
    const std::string path = Trimmed(folder);
    const stdfs::path p = FsPath(path);
    std::error_code ec;
    if (IsReparsePoint(path)) stdfs::remove(p, ec);  // the link, never its target
    stdfs::create_directories(p, ec);
    if (ec || !stdfs::is_directory(p, ec)) {
        if (failures) failures->push_back({path, 267});
        ThrowSystemError(267);  // not a folder
    }
    std::vector<SecureFailure> failed;
    Pass(path, others, scope, failed, 0);
    if (failed.empty()) return;
    const uint32_t first = failed.front().error;
    if (failures) failures->insert(failures->end(), failed.begin(), failed.end());
    ThrowSystemError(first);
}

namespace {

struct OpenFile {
    std::ofstream out;
    size_t written = 0;
};

}  // namespace

NewFile::NewFile(const std::string& path, Others others) : path_(path) {
    const stdfs::path p = FsPath(path);
    std::error_code ec;
    // Nothing under the name, a link included, is ever opened.
    if (stdfs::exists(stdfs::symlink_status(p, ec))) ThrowSystemError(ErrorFileExists);
    auto f = std::make_unique<OpenFile>();
    f->out.open(p, std::ios::binary);
    if (!f->out) ThrowSystemError(3);  // path not found
    handle_ = reinterpret_cast<uintptr_t>(f.release());
    Locked()->fileLists[AsciiLower(path)] = others;
}

NewFile::~NewFile() {
    if (finished_) return;
    delete reinterpret_cast<OpenFile*>(handle_);
    std::error_code ec;
    stdfs::remove(FsPath(path_), ec);
    Locked()->fileLists.erase(AsciiLower(path_));
}

void NewFile::Write(const void* data, size_t size) {
    auto* f = reinterpret_cast<OpenFile*>(handle_);
    size_t n = size;
    if (const std::optional<size_t> room = Locked()->diskFullAfterBytes)
        n = f->written >= *room ? 0 : std::min(size, *room - f->written);
    f->out.write(static_cast<const char*>(data), static_cast<std::streamsize>(n));
    f->written += n;
    if (!f->out || n != size) ThrowSystemError(ErrorDiskFull);
}

void NewFile::Finish() {
    std::unique_ptr<OpenFile> f(reinterpret_cast<OpenFile*>(handle_));
    handle_ = 0;
    f->out.flush();
    f->out.close();
    if (!f->out) ThrowSystemError(ErrorDiskFull);
    finished_ = true;
}

void WriteNewFile(const std::string& path, const std::vector<uint8_t>& data) {
    NewFile f(path, Others::None);
    f.Write(data.data(), data.size());
    f.Finish();
}

namespace {

// What the world records under a path follows it when it moves.
template <class Map>
void Rekey(Map& map, const std::string& from, const std::string& to) {
    std::vector<typename Map::value_type> moved;
    for (auto it = map.begin(); it != map.end();) {
        if (it->first == from || it->first.rfind(from + "\\", 0) == 0) {
            moved.emplace_back(to + it->first.substr(from.size()), it->second);
            it = map.erase(it);
        } else {
            ++it;
        }
    }
    map.erase(to);
    for (auto& m : moved) map[m.first] = m.second;
}

}  // namespace

void MoveOver(const std::string& from, const std::string& to) {
    {
        Locked w;
        if (w->replaceFailures > 0) {
            --w->replaceFailures;
            ThrowSystemError(ErrorAccessDenied);
        }
    }
    std::error_code ec;
    const bool folder = stdfs::is_directory(stdfs::symlink_status(FsPath(from), ec));
    if (folder && stdfs::exists(stdfs::symlink_status(FsPath(to), ec))) ThrowSystemError(ErrorAccessDenied);
    stdfs::rename(FsPath(from), FsPath(to), ec);
    if (ec) ThrowSystemError(ErrorAccessDenied);
    Locked w;
    const std::string f = AsciiLower(Trimmed(from)), t = AsciiLower(Trimmed(to));
    Rekey(w->fileLists, f, t);
    Rekey(w->securedFolders, f, t);
    Rekey(w->foreignOwned, f, t);
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
