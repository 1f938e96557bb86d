#include "platform/System.h"

#include <mutex>

#include "common/DateTime.h"
#include "platform/win32/WinText.h"
// After windows.h: they need the declarations that header brings.
#include <shellapi.h>
#include <shlobj.h>

namespace platform::sys {

double NowLocal() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    return qz::EncodeDateTime({t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds});
}

uint64_t TickCountMs() { return GetTickCount64(); }

void SleepMs(uint32_t ms) { Sleep(ms); }

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

OsVersion GetOsVersion() {
    // The version query of the loader, since the documented one reports 6.2
    // to every program without a compatibility manifest.
    using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOW*);
    OSVERSIONINFOW info{};
    info.dwOSVersionInfoSize = sizeof info;
    try {
        static RtlGetVersionFn fn = win::Bind<RtlGetVersionFn>(L"ntdll.dll", "RtlGetVersion");
        if (fn(&info) == 0) return {info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber};
    } catch (const SystemError&) {
    }
    using GetVersionExFn = BOOL(WINAPI*)(OSVERSIONINFOW*);
    static GetVersionExFn getVersion = win::Bind<GetVersionExFn>(L"kernel32.dll", "GetVersionExW");
    if (!getVersion(&info)) ThrowSystemError(GetLastError());
    return {info.dwMajorVersion, info.dwMinorVersion, info.dwBuildNumber};
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

bool StartHidden(const std::string& commandLine) {
    std::wstring cmd = win::Wide(commandLine);
    cmd.push_back(L'\0');
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return true;
}

namespace {
std::mutex g_consoleLock;
std::function<bool(uint32_t)> g_consoleHandler;

BOOL WINAPI ConsoleRoutine(DWORD event) {
    std::function<bool(uint32_t)> handler;
    {
        std::lock_guard<std::mutex> lock(g_consoleLock);
        handler = g_consoleHandler;
    }
    return handler && handler(event) ? TRUE : FALSE;
}

HANDLE OutputHandle(bool isError) {
    const HANDLE h = GetStdHandle(isError ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return nullptr;
    return GetFileType(h) == FILE_TYPE_UNKNOWN ? nullptr : h;
}
}  // namespace

void SetConsoleCtrlHandler(std::function<bool(uint32_t)> handler) {
    bool first;
    {
        std::lock_guard<std::mutex> lock(g_consoleLock);
        first = !g_consoleHandler;
        g_consoleHandler = std::move(handler);
    }
    if (first) ::SetConsoleCtrlHandler(ConsoleRoutine, TRUE);
}

bool HasConsole() { return OutputHandle(false) != nullptr || OutputHandle(true) != nullptr; }

void ShowMessage(const std::string& text, bool isError) {
    HANDLE out = OutputHandle(isError);
    if (!out) out = OutputHandle(!isError);
    if (out) {
        DWORD mode = 0, written = 0;
        if (GetConsoleMode(out, &mode)) {
            const std::wstring w = win::Wide(text + "\r\n");
            WriteConsoleW(out, w.c_str(), static_cast<DWORD>(w.size()), &written, nullptr);
        } else {
            const std::string line = text + "\r\n";
            WriteFile(out, line.data(), static_cast<DWORD>(line.size()), &written, nullptr);
        }
        return;
    }
    MessageBoxW(nullptr, win::Wide(text).c_str(), nullptr,
                MB_OK | (isError ? MB_ICONERROR : MB_ICONINFORMATION) | MB_SERVICE_NOTIFICATION);
}

EventHandle CreateNamedEvent(const std::string& name, bool manualReset, bool initialState) {
    const HANDLE h = CreateEventW(nullptr, manualReset, initialState, win::Wide(name).c_str());
    if (!h) ThrowSystemError(GetLastError());
    return reinterpret_cast<EventHandle>(h);
}

bool SetNamedEvent(EventHandle handle) { return SetEvent(reinterpret_cast<HANDLE>(handle)) != FALSE; }

void CloseNamedEvent(EventHandle handle) {
    if (handle) CloseHandle(reinterpret_cast<HANDLE>(handle));
}

std::optional<bool> PeekNamedEvent(const std::string& name) {
    win::Handle h(OpenEventW(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, win::Wide(name).c_str()));
    if (!h) return std::nullopt;
    const bool signalled = WaitForSingleObject(h.get(), 0) == WAIT_OBJECT_0;
    // Waiting resets an auto-reset event: put the state back.
    if (signalled) SetEvent(h.get());
    return signalled;
}

std::string Utf8ToAnsi(const std::string& text) {
    const std::wstring w = win::Wide(text);
    if (w.empty()) return {};
    const int n = WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(n), '\0');
    if (n > 0) WideCharToMultiByte(CP_ACP, 0, w.data(), static_cast<int>(w.size()), out.data(), n, nullptr, nullptr);
    return out;
}

}  // namespace platform::sys
