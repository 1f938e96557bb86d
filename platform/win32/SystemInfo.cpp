#include "platform/SystemInfo.h"

#include "platform/win32/WinText.h"
// After windows.h: they need the declarations that header brings.
#include <shellapi.h>
#include <shlobj.h>

namespace platform::sys {

std::vector<std::string> CommandLineArgs(int, char**) {
    // The wide command line: argv of a MinGW program is in the ANSI code page.
    std::vector<std::string> args;
    int n = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &n);
    if (!argv) return args;
    for (int i = 1; i < n; ++i) args.push_back(win::Utf8(argv[i]));
    LocalFree(argv);
    return args;
}

std::string ModulePath() {
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0) return {};
        if (n < buf.size()) return win::Utf8(buf.data(), n);
        buf.resize(buf.size() * 2);
    }
}

std::string ComputerNetName() {
    wchar_t buf[MAX_COMPUTERNAME_LENGTH + 1];
    DWORD n = MAX_COMPUTERNAME_LENGTH + 1;
    if (!GetComputerNameW(buf, &n)) return {};
    return win::Utf8(buf, n);
}

std::string SystemDir() {
    wchar_t buf[MAX_PATH];
    const UINT n = GetSystemDirectoryW(buf, MAX_PATH);
    return n && n < MAX_PATH ? win::Utf8(buf, n) : std::string();
}

std::string WindowsDir() {
    wchar_t buf[MAX_PATH];
    const UINT n = GetWindowsDirectoryW(buf, MAX_PATH);
    return n && n < MAX_PATH ? win::Utf8(buf, n) : std::string();
}

std::string CommonAppDataDir() {
    wchar_t buf[MAX_PATH];
    if (FAILED(SHGetFolderPathW(nullptr, CSIDL_COMMON_APPDATA, nullptr, 0, buf))) return {};
    return win::Utf8(buf);
}

uint32_t CurrentProcessId() { return GetCurrentProcessId(); }

std::optional<std::string> ProgramRcData(const std::string& name) {
    const std::wstring wname = win::Wide(name);
    HRSRC info = FindResourceW(nullptr, wname.c_str(), MAKEINTRESOURCEW(10));  // RT_RCDATA
    if (!info) return std::nullopt;
    HGLOBAL loaded = LoadResource(nullptr, info);
    const void* data = loaded ? LockResource(loaded) : nullptr;
    if (!data) return std::nullopt;
    return std::string(static_cast<const char*>(data), SizeofResource(nullptr, info));
}

OsVersion GetOsVersion() {
    // The version query of the loader, since the documented one reports 6.2
    // to every program without a compatibility manifest.
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOEXW*);
    OSVERSIONINFOEXW info{};
    info.dwOSVersionInfoSize = sizeof info;
    try {
        static RtlGetVersionFn fn = win::Bind<RtlGetVersionFn>(L"ntdll.dll", "RtlGetVersion");
        if (fn(&info) == 0) return {info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber, info.wProductType, info.wServicePackMajor};
    } catch (const SystemError&) {
    }
    using GetVersionExFn = BOOL(WINAPI*)(OSVERSIONINFOEXW*);
    static GetVersionExFn getVersion = win::Bind<GetVersionExFn>(L"kernel32.dll", "GetVersionExW");
    if (!getVersion(&info)) ThrowSystemError(GetLastError());
    return {info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber, info.wProductType, info.wServicePackMajor};
}

std::optional<uint16_t> NativeProcessorArchitecture() {
    using Fn = void(WINAPI*)(LPSYSTEM_INFO);
    try {
        static Fn fn = win::Bind<Fn>(L"kernel32.dll", "GetNativeSystemInfo");
        SYSTEM_INFO si{};
        fn(&si);
        return si.wProcessorArchitecture;
    } catch (const SystemError&) {
        return std::nullopt;
    }
}

}  // namespace platform::sys
