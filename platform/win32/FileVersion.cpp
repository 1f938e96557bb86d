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
