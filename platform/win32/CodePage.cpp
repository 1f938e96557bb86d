#include "platform/CodePage.h"

#include "platform/win32/WinText.h"

namespace platform::sys {

std::string Utf8ToAnsi(const std::string& text) {
    const std::wstring w = win::Wide(text);
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    if (n > 0) WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr, nullptr);
    return out;
}

}  // namespace platform::sys
