#include "platform/Errors.h"

#include "platform/win32/WinText.h"

namespace platform {

std::string SystemErrorText(uint32_t code) {
    wchar_t* buffer = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    std::string text;
    if (n && buffer) text = win::Utf8(buffer, n);
    if (buffer) LocalFree(buffer);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\n' ||
                             text.back() == '.' || text.back() == '\t'))
        text.pop_back();
    if (text.empty()) text = "System error " + std::to_string(code);
    return text;
}

uint32_t LastErrorCode() { return GetLastError(); }

void ThrowSystemError(uint32_t code) { throw SystemError(code, SystemErrorText(code)); }

}  // namespace platform
