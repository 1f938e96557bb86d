#include "platform/FileVersion.h"

#include <vector>

#include "platform/win32/WinText.h"

namespace platform::sys {

std::optional<std::string> VersionString(const std::string& filePath, const std::string& name) {
    const std::wstring path = win::Wide(filePath);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return std::nullopt;
    std::vector<BYTE> data(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return std::nullopt;
    const std::wstring query = L"\\StringFileInfo\\040904E4\\" + win::Wide(name);
    wchar_t* value = nullptr;
    UINT len = 0;
    if (!VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&value), &len) || !value)
        return std::string();
    std::wstring text(value, len);
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return win::Utf8(text);
}

}  // namespace platform::sys

// After windows.h: they need the declarations that header brings.
#include <shellapi.h>
#include <shlwapi.h>

namespace platform::sys {
namespace {

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

}  // namespace

ImageShellFacts DescribeImage(const std::string& filePath) {
    ImageShellFacts facts;
    const std::wstring path = win::Wide(filePath);
    if (PathIsNetworkPathW(path.c_str())) return facts;
    static const DisableFn disable = Redirect<DisableFn>("Wow64DisableWow64FsRedirection");
    static const RevertFn revert = Redirect<RevertFn>("Wow64RevertWow64FsRedirection");
    PVOID old = nullptr;
    const bool redirected = disable && revert && disable(&old);
    SHFILEINFOW info{};
    if (SHGetFileInfoW(path.c_str(), 0, &info, sizeof info, SHGFI_TYPENAME))
        facts.fileType = win::Utf8(info.szTypeName, wcsnlen(info.szTypeName, 80));
    facts.executable = SHGetFileInfoW(path.c_str(), 0, nullptr, 0, SHGFI_EXETYPE) != 0;
    if (redirected) revert(old);
    return facts;
}

std::optional<std::vector<std::string>> TranslatedVersionStrings(const std::string& filePath,
                                                                 const std::vector<std::string>& names) {
    const std::wstring path = win::Wide(filePath);
    DWORD ignored = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &ignored);
    if (size == 0) return std::nullopt;
    std::vector<BYTE> data(size);
    if (!GetFileVersionInfoW(path.c_str(), 0, size, data.data())) return std::nullopt;
    const WORD* pair = nullptr;
    UINT len = 0;
    if (!VerQueryValueW(data.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(const_cast<WORD**>(&pair)),
                        &len) ||
        !pair || len < 2 * sizeof(WORD))
        return std::nullopt;
    wchar_t block[40];
    swprintf(block, 40, L"\\StringFileInfo\\%04x%04x\\", pair[0], pair[1]);
    std::vector<std::string> out;
    for (const auto& name : names) {
        const std::wstring query = block + win::Wide(name);
        wchar_t* value = nullptr;
        UINT chars = 0;
        std::string text;
        if (VerQueryValueW(data.data(), query.c_str(), reinterpret_cast<void**>(&value), &chars) && value) {
            std::wstring w(value, wcsnlen(value, chars));
            text = win::Utf8(w);
        }
        out.push_back(std::move(text));
    }
    return out;
}

}  // namespace platform::sys
