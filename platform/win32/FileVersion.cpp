#include "platform/FileVersion.h"

#include <vector>

#include "platform/win32/WinText.h"
// After windows.h: they need the declarations that header brings.
#include <shellapi.h>
#include <shlwapi.h>

namespace platform::sys {
namespace {

// The file's whole version resource; nullopt when it has none.
std::optional<std::vector<BYTE>> ReadVersionResource(const std::wstring& path) {
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return std::nullopt;
    std::vector<BYTE> data(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return std::nullopt;
    return data;
}

// One string of a block such as L"\\StringFileInfo\\040904E4\\"; empty when the block lacks it.
std::string BlockString(const std::vector<BYTE>& data, const std::wstring& block, const std::string& name) {
    const std::wstring query = block + win::Wide(name);
    wchar_t* value = nullptr;
    UINT chars = 0;
    if (!VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&value), &chars) || !value) return {};
    return win::Utf8(value, wcsnlen(value, chars));
}

using DisableFn = BOOL(WINAPI*)(PVOID*);
using RevertFn = BOOL(WINAPI*)(PVOID);

// Present only where a 32-bit program can run on 64-bit Windows.
template <typename Fn>
Fn Redirect(const char* name) {
    try {
        return win::Bind<Fn>(L"kernel32.dll", name);
    } catch (const SystemError&) {
        return nullptr;
    }
}

// A 32-bit program on 64-bit Windows sees SysWOW64 where it names System32;
// the paths asked about here are the real paths of running images, so this
// thread's redirection is off while they are read.
class RedirectionOff {
public:
    RedirectionOff() : active_(disable_ && revert_ && disable_(&old_)) {}
    ~RedirectionOff() {
        if (active_) revert_(old_);
    }
    RedirectionOff(const RedirectionOff&) = delete;
    RedirectionOff& operator=(const RedirectionOff&) = delete;

private:
    static inline const DisableFn disable_ = Redirect<DisableFn>("Wow64DisableWow64FsRedirection");
    static inline const RevertFn revert_ = Redirect<RevertFn>("Wow64RevertWow64FsRedirection");
    PVOID old_ = nullptr;
    const bool active_;
};

}  // namespace

std::optional<std::string> VersionString(const std::string& filePath, const std::string& name) {
    const auto data = ReadVersionResource(win::Wide(filePath));
    if (!data) return std::nullopt;
    return BlockString(*data, L"\\StringFileInfo\\040904E4\\", name);
}

ImageShellFacts DescribeImage(const std::string& filePath, bool withTypeName) {
    ImageShellFacts facts;
    const std::wstring path = win::Wide(filePath);
    if (PathIsNetworkPathW(path.c_str())) return facts;
    const RedirectionOff off;
    SHFILEINFOW info{};
    if (withTypeName && SHGetFileInfoW(path.c_str(), 0, &info, sizeof info, SHGFI_TYPENAME))
        facts.fileType = win::Utf8(info.szTypeName, wcsnlen(info.szTypeName, 80));
    facts.executable = SHGetFileInfoW(path.c_str(), 0, nullptr, 0, SHGFI_EXETYPE) != 0;
    return facts;
}

std::optional<std::vector<std::string>> TranslatedVersionStrings(const std::string& filePath,
                                                                 const std::vector<std::string>& names) {
    const auto data = [&] {
        const RedirectionOff off;
        return ReadVersionResource(win::Wide(filePath));
    }();
    if (!data) return std::nullopt;
    WORD* pair = nullptr;
    UINT len = 0;
    if (!VerQueryValueW(data->data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&pair), &len) ||
        !pair || len < 2 * sizeof(WORD))
        return std::nullopt;
    wchar_t block[40];
    swprintf(block, 40, L"\\StringFileInfo\\%04x%04x\\", pair[0], pair[1]);
    std::vector<std::string> out;
    for (const auto& name : names) out.push_back(BlockString(*data, block, name));
    return out;
}

}  // namespace platform::sys
