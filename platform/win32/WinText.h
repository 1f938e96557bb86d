#pragma once
#include <windows.h>

#include <string>

#include "platform/Errors.h"

// Text conversion at the Win32 boundary: the rest of the agent speaks UTF-8.
namespace platform::win {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const wchar_t* text, size_t length);
inline std::string Utf8(const std::wstring& text) { return Utf8(text.data(), text.size()); }
// A NUL-terminated wide string, or empty for nullptr.
inline std::string Utf8(const wchar_t* text) { return text ? Utf8(text, wcslen(text)) : std::string(); }

// An entry point bound on its first use: the library is taken when already
// loaded, else loaded. A missing library or entry raises SystemError.
FARPROC BindEntry(const wchar_t* library, const char* name);

template <typename Fn>
Fn Bind(const wchar_t* library, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(BindEntry(library, name)));
}

// Closes a handle when leaving scope.
class Handle {
public:
    explicit Handle(HANDLE h = nullptr) : h_(h) {}
    ~Handle() {
        if (h_ && h_ != INVALID_HANDLE_VALUE) CloseHandle(h_);
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE get() const { return h_; }
    HANDLE release() {
        HANDLE h = h_;
        h_ = nullptr;
        return h;
    }
    explicit operator bool() const { return h_ && h_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE h_;
};

}  // namespace platform::win
