#include "platform/FileSystem.h"

#include <algorithm>

#include "platform/win32/WinText.h"
// After windows.h: they need the declarations that header brings.
#include <aclapi.h>
#include <sddl.h>

namespace platform::files {

namespace {

// SYSTEM and the administrators full control; owner the administrators;
// protected, so no access list above can widen it.
const wchar_t* kAdminsOnly = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)";
// The same, and the users read and list (for what session programs show).
const wchar_t* kUsersRead = L"O:BAD:P(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1200a9;;;BU)";

class Descriptor {
public:
    explicit Descriptor(const wchar_t* sddl) {
        if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(sddl, SDDL_REVISION_1, &sd_, nullptr))
            ThrowSystemError(GetLastError());
    }
    ~Descriptor() { LocalFree(sd_); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    PSECURITY_DESCRIPTOR get() const { return sd_; }

private:
    PSECURITY_DESCRIPTOR sd_ = nullptr;
};

DWORD Attributes(const std::wstring& path) { return GetFileAttributesW(path.c_str()); }

bool IsLink(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Removes the link itself, never what it points at.
void RemoveLink(const std::wstring& path, DWORD attributes) {
    const BOOL ok = (attributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str());
    if (!ok) ThrowSystemError(GetLastError());
}

// Opens the file or folder itself, never through a link. With the restore
// privilege enabled, backup semantics grant the rights to change its owner
// and list whatever its list says.
HANDLE OpenForSecurity(const std::wstring& path, DWORD access) {
    return CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                       OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

// Owner and access list from the descriptor; 0 or the system error. Without
// the restore privilege, ownership is taken first (the take-ownership
// privilege allows that much), and the new owner may then change the list.
// The owner is set only where the caller may set it (the service may, an
// administrator's test run may not).
DWORD Apply(const std::wstring& path, const Descriptor& d) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    PSID owner = nullptr;
    if (!GetSecurityDescriptorDacl(d.get(), &present, &dacl, &defaulted)) return GetLastError();
    if (!GetSecurityDescriptorOwner(d.get(), &owner, &defaulted)) return GetLastError();
    const DWORD access = WRITE_DAC | WRITE_OWNER | READ_CONTROL;
    win::Handle h(OpenForSecurity(path, access));
    if (!h) {
        const DWORD denied = GetLastError();
        win::Handle take(OpenForSecurity(path, WRITE_OWNER));
        if (!take) return denied;
        if (SetSecurityInfo(take.get(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, owner, nullptr, nullptr,
                            nullptr) != ERROR_SUCCESS)
            return denied;
    }
    win::Handle again(h ? nullptr : OpenForSecurity(path, access));
    HANDLE target = h ? h.get() : again.get();
    if (!h && !again) return GetLastError();
    DWORD rc = SetSecurityInfo(target, SE_FILE_OBJECT,
                               OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                   PROTECTED_DACL_SECURITY_INFORMATION,
                               owner, nullptr, dacl, nullptr);
    if (rc != ERROR_SUCCESS)
        rc = SetSecurityInfo(target, SE_FILE_OBJECT, DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION,
                             nullptr, nullptr, dacl, nullptr);
    return rc;
}

void MakeFolder(const std::string& path) {
    const std::wstring w = win::Wide(path);
    DWORD a = Attributes(w);
    if (IsLink(a)) {
        RemoveLink(w, a);
        a = INVALID_FILE_ATTRIBUTES;
    }
    if (a != INVALID_FILE_ATTRIBUTES) {
        if (!(a & FILE_ATTRIBUTE_DIRECTORY)) ThrowSystemError(ERROR_DIRECTORY);
        return;
    }
    const auto sep = path.find_last_of("\\/");
    if (sep != std::string::npos && sep > 0 && path[sep - 1] != ':') MakeFolder(path.substr(0, sep));
    if (!CreateDirectoryW(w.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
        ThrowSystemError(GetLastError());
}

std::string Trimmed(std::string path) {
    while (path.size() > 3 && (path.back() == '\\' || path.back() == '/')) path.pop_back();
    return path;
}

}  // namespace

bool IsReparsePoint(const std::string& path) { return IsLink(Attributes(win::Wide(Trimmed(path)))); }

namespace {

constexpr int MaxDepth = 32;

void Pass(const std::wstring& w, const Descriptor& d, Scope scope, std::vector<SecureFailure>& failed, int depth) {
    if (const DWORD rc = Apply(w, d)) {
        failed.push_back({win::Utf8(w), rc});
        return;
    }
    // What someone left inside before the list was tight: links go, the rest gets the list.
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((w + L"\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        if (e != ERROR_FILE_NOT_FOUND && e != ERROR_NO_MORE_FILES) failed.push_back({win::Utf8(w), e});
        return;
    }
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring entry = w + L"\\" + name;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            const BOOL ok = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? RemoveDirectoryW(entry.c_str())
                                                                              : DeleteFileW(entry.c_str());
            if (!ok) failed.push_back({win::Utf8(entry), GetLastError()});
        } else if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
            if (scope != Scope::Tree) continue;
            if (depth >= MaxDepth)
                failed.push_back({win::Utf8(entry), ERROR_FILENAME_EXCED_RANGE});
            else
                Pass(entry, d, scope, failed, depth + 1);
        } else if (const DWORD rc = Apply(entry, d)) {
            failed.push_back({win::Utf8(entry), rc});
        }
    } while (FindNextFileW(find, &fd));
    FindClose(find);
}

}  // namespace

void SecureFolder(const std::string& folder, Others others, Scope scope, std::vector<SecureFailure>* failures) {
    const std::string path = Trimmed(folder);
    try {
        MakeFolder(path);
    } catch (const SystemError& e) {
        if (failures) failures->push_back({path, e.code()});
        throw;
    }
    const Descriptor d(others == Others::Read ? kUsersRead : kAdminsOnly);
    std::vector<SecureFailure> failed;
    Pass(win::Wide(path), d, scope, failed, 0);
    if (failed.empty()) return;
    const uint32_t first = failed.front().error;
    if (failures) failures->insert(failures->end(), failed.begin(), failed.end());
    ThrowSystemError(first);
}

NewFile::NewFile(const std::string& path, Others others) : path_(path) {
    const Descriptor d(others == Others::Read ? kUsersRead : kAdminsOnly);
    SECURITY_ATTRIBUTES sa{sizeof sa, d.get(), FALSE};
    // CREATE_NEW: a file (or link) someone put under this name is never opened.
    const HANDLE h =
        CreateFileW(win::Wide(path).c_str(), GENERIC_WRITE, 0, &sa, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) ThrowSystemError(GetLastError());
    handle_ = reinterpret_cast<uintptr_t>(h);
}

NewFile::~NewFile() {
    if (finished_) return;
    if (handle_) CloseHandle(reinterpret_cast<HANDLE>(handle_));
    DeleteFileW(win::Wide(path_).c_str());
}

void NewFile::Write(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    size_t done = 0;
    while (done < size) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(size - done, 1u << 20));
        DWORD written = 0;
        if (!WriteFile(reinterpret_cast<HANDLE>(handle_), bytes + done, chunk, &written, nullptr) || written == 0)
            ThrowSystemError(GetLastError() ? GetLastError() : ERROR_WRITE_FAULT);
        done += written;
    }
}

void NewFile::Finish() {
    const HANDLE h = reinterpret_cast<HANDLE>(handle_);
    const DWORD failure = FlushFileBuffers(h) ? 0 : GetLastError();
    handle_ = 0;
    if (!CloseHandle(h) || failure) ThrowSystemError(failure ? failure : GetLastError());
    finished_ = true;
}

void WriteNewFile(const std::string& path, const std::vector<uint8_t>& data) {
    NewFile f(path, Others::None);
    f.Write(data.data(), data.size());
    f.Finish();
}

void MoveOver(const std::string& from, const std::string& to) {
    // A folder only moves to a free name; a file replaces what has the name.
    const DWORD a = Attributes(win::Wide(from));
    const DWORD flags = (a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY))
                            ? MOVEFILE_WRITE_THROUGH
                            : MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH;
    if (!MoveFileExW(win::Wide(from).c_str(), win::Wide(to).c_str(), flags))
        ThrowSystemError(GetLastError());
}

namespace {

qz::DateTimeParts LocalParts(const FILETIME& utc) {
    FILETIME local{};
    SYSTEMTIME st{};
    qz::DateTimeParts p;
    if (!FileTimeToLocalFileTime(&utc, &local) || !FileTimeToSystemTime(&local, &st)) return p;
    p.year = st.wYear;
    p.month = st.wMonth;
    p.day = st.wDay;
    p.hour = st.wHour;
    p.minute = st.wMinute;
    p.second = st.wSecond;
    p.millisecond = st.wMilliseconds;
    return p;
}

}  // namespace

std::vector<FoundFile> FindFiles(const std::string& mask) {
    std::vector<FoundFile> found;
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW(win::Wide(mask).c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) {
        const DWORD e = GetLastError();
        if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_NO_MORE_FILES) return found;
        ThrowSystemError(e);
    }
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        FoundFile f;
        f.name = win::Utf8(name);
        f.attributes = fd.dwFileAttributes;
        f.size = (uint64_t{fd.nFileSizeHigh} << 32) | fd.nFileSizeLow;
        f.lastWrite = LocalParts(fd.ftLastWriteTime);
        found.push_back(std::move(f));
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    return found;
}

std::vector<uint8_t> ReadShared(const std::string& path, size_t maxBytes) {
    win::Handle h(CreateFileW(win::Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h) ThrowSystemError(GetLastError());
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(h.get(), &size)) ThrowSystemError(GetLastError());
    if (static_cast<uint64_t>(size.QuadPart) > maxBytes) ThrowSystemError(ErrorFileTooLarge);
    std::vector<uint8_t> data(static_cast<size_t>(size.QuadPart));
    size_t done = 0;
    // A writer may shorten or lengthen the file meanwhile: read what is there, up to the size taken.
    while (done < data.size()) {
        DWORD got = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 20));
        if (!ReadFile(h.get(), data.data() + done, chunk, &got, nullptr)) ThrowSystemError(GetLastError());
        if (got == 0) break;
        done += got;
    }
    data.resize(done);
    return data;
}

}  // namespace platform::files
