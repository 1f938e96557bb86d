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

// Owner and access list from the descriptor; the owner only where the
// caller may set it (the service may, an administrator's test run may not).
void Apply(const std::wstring& path, const Descriptor& d) {
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    PSID owner = nullptr;
    if (!GetSecurityDescriptorDacl(d.get(), &present, &dacl, &defaulted)) ThrowSystemError(GetLastError());
    if (!GetSecurityDescriptorOwner(d.get(), &owner, &defaulted)) ThrowSystemError(GetLastError());
    std::wstring name = path;
    DWORD rc = SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                                     OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION |
                                         PROTECTED_DACL_SECURITY_INFORMATION,
                                     owner, nullptr, dacl, nullptr);
    if (rc != ERROR_SUCCESS)
        rc = SetNamedSecurityInfoW(name.data(), SE_FILE_OBJECT,
                                   DACL_SECURITY_INFORMATION | PROTECTED_DACL_SECURITY_INFORMATION, nullptr, nullptr,
                                   dacl, nullptr);
    if (rc != ERROR_SUCCESS) ThrowSystemError(rc);
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

void SecureFolder(const std::string& folder, Others others) {
    const std::string path = Trimmed(folder);
    MakeFolder(path);
    const std::wstring w = win::Wide(path);
    const Descriptor d(others == Others::Read ? kUsersRead : kAdminsOnly);
    Apply(w, d);
    // What someone left inside before the list was tight: links go, files get the list.
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((w + L"\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE) return;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..") continue;
        const std::wstring entry = w + L"\\" + name;
        if (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) {
            try {
                RemoveLink(entry, fd.dwFileAttributes);
            } catch (const SystemError&) {
            }
            continue;
        }
        if (!(fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) Apply(entry, d);
    } while (FindNextFileW(find, &fd));
    FindClose(find);
}

void WriteNewFile(const std::string& path, const std::vector<uint8_t>& data) {
    const std::wstring w = win::Wide(path);
    const Descriptor d(kAdminsOnly);
    SECURITY_ATTRIBUTES sa{sizeof sa, d.get(), FALSE};
    // CREATE_NEW: a file (or link) someone put under this name is never opened.
    win::Handle h(CreateFileW(w.c_str(), GENERIC_WRITE, 0, &sa, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!h) ThrowSystemError(GetLastError());
    DWORD failure = 0;
    size_t done = 0;
    while (done < data.size() && !failure) {
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(data.size() - done, 1u << 20));
        DWORD written = 0;
        if (!WriteFile(h.get(), data.data() + done, chunk, &written, nullptr) || written == 0)
            failure = GetLastError() ? GetLastError() : ERROR_WRITE_FAULT;
        done += written;
    }
    if (!failure && !FlushFileBuffers(h.get())) failure = GetLastError();
    if (failure) {
        CloseHandle(h.release());
        DeleteFileW(w.c_str());
        ThrowSystemError(failure);
    }
}

void MoveOver(const std::string& from, const std::string& to) {
    if (!MoveFileExW(win::Wide(from).c_str(), win::Wide(to).c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
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
