// The agent's event-log message table as the event viewer renders it.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "tests/platform/PlatformTestSupport.h"

namespace {

std::wstring Render(HMODULE module, DWORD id, const wchar_t* insert) {
    const DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(insert)};
    wchar_t* text = nullptr;
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY |
                                       FORMAT_MESSAGE_ALLOCATE_BUFFER,
                                   module, id, 0x409, reinterpret_cast<LPWSTR>(&text), 0,
                                   reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(args)));
    std::wstring out = n ? std::wstring(text, n) : L"(none)";
    if (text) LocalFree(text);
    return out;
}

TEST(Win32EventMessages, LabUserEventsAreTheirTextAndALineBreak) {
    const std::string exe = qztest::WinPath(QZ_SERVICE_EXE);
    HMODULE module = LoadLibraryExA(exe.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(module, nullptr);
    EXPECT_EQ(Render(module, 0x2000007B, L"Korvane user was successfully logged on."),
              L"Korvane user was successfully logged on.\r\n");
    EXPECT_EQ(Render(module, 0x2000007C, L"Korvane user was successfully logged out."),
              L"Korvane user was successfully logged out.\r\n");
    FreeLibrary(module);
}

}  // namespace
