#include "platform/Processes.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "platform/Clock.h"
#include "platform/DateTime.h"
#include "platform/SystemInfo.h"
#include "platform/win32/WinText.h"
// After windows.h: it needs the declarations that header brings.
#include <psapi.h>

namespace platform::sys {

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

ChildOutput RunForOutput(const std::string& program, const std::string& arguments, uint32_t timeoutMs,
                         size_t maxBytes) {
    // One at a time: the pipe's inheritable end must reach only its own child.
    static std::mutex serial;
    std::lock_guard<std::mutex> hold(serial);
    ChildOutput out;
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE readRaw = nullptr, writeRaw = nullptr;
    if (!CreatePipe(&readRaw, &writeRaw, &inherit, 64 * 1024)) {
        out.error = GetLastError();
        return out;
    }
    win::Handle reader(readRaw), writer(writeRaw);
    SetHandleInformation(reader.get(), HANDLE_FLAG_INHERIT, 0);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES | STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    si.hStdOutput = writer.get();
    const std::wstring path = win::Wide(program);
    std::wstring cmd = L"\"" + path + L"\"" + (arguments.empty() ? L"" : L" " + win::Wide(arguments));
    cmd.push_back(L'\0');
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(path.c_str(), cmd.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                        &pi)) {
        out.error = GetLastError();
        return out;
    }
    CloseHandle(pi.hThread);
    win::Handle process(pi.hProcess);
    CloseHandle(writer.release());  // the child's copy is the only writer left

    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    out.end = ChildEnd::Exited;
    for (;;) {
        DWORD avail = 0;
        if (!PeekNamedPipe(reader.get(), nullptr, 0, nullptr, &avail, nullptr)) break;  // every writer gone
        if (!avail) {
            if (GetTickCount64() >= deadline) {
                out.end = ChildEnd::TimedOut;
                break;
            }
            Sleep(10);
            continue;
        }
        const size_t at = out.output.size();
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(avail, maxBytes + 1 - at));
        out.output.resize(at + chunk);
        DWORD got = 0;
        if (!ReadFile(reader.get(), &out.output[at], chunk, &got, nullptr)) got = 0;
        out.output.resize(at + got);
        if (out.output.size() > maxBytes) {
            out.output.resize(maxBytes);
            out.end = ChildEnd::TooLong;
            break;
        }
        if (!got) break;
    }
    // Its output closed: it ends now, or is ended with the time left.
    const ULONGLONG now = GetTickCount64();
    if (out.end == ChildEnd::Exited &&
        WaitForSingleObject(process.get(), static_cast<DWORD>(deadline > now ? deadline - now : 0)) != WAIT_OBJECT_0)
        out.end = ChildEnd::TimedOut;
    if (out.end != ChildEnd::Exited) {
        TerminateProcess(process.get(), 1);
        WaitForSingleObject(process.get(), 5000);
    }
    DWORD code = 0;
    GetExitCodeProcess(process.get(), &code);
    out.exitCode = code;
    return out;
}

bool WriteStandardOutput(const std::string& bytes) {
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (!out || out == INVALID_HANDLE_VALUE) return false;
    size_t at = 0;
    while (at < bytes.size()) {
        DWORD wrote = 0;
        const DWORD chunk = static_cast<DWORD>(std::min<size_t>(bytes.size() - at, 1 << 20));
        if (!WriteFile(out, bytes.data() + at, chunk, &wrote, nullptr) || !wrote) return false;
        at += wrote;
    }
    return true;
}

bool StartProgram(const std::string& commandLine, std::string& error) {
    std::wstring cmd = win::Wide(commandLine);
    cmd.push_back(L'\0');
    // Only the show-window state is passed on: the caller's standard handles
    // mean nothing to a child that inherits none.
    STARTUPINFOW own{};
    own.cb = sizeof own;
    GetStartupInfoW(&own);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    if (own.dwFlags & STARTF_USESHOWWINDOW) {
        si.dwFlags = STARTF_USESHOWWINDOW;
        si.wShowWindow = own.wShowWindow;
    }
    PROCESS_INFORMATION pi{};
    // Default security for the new process and thread: the caller may be
    // elevated, and an open access list would hand the child to any local user.
    if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr, &si,
                        &pi)) {
        error = SystemErrorText(GetLastError());
        return false;
    }
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    error.clear();
    return true;
}

}  // namespace platform::sys

namespace platform::proc {
namespace {

using QueryImageNameFn = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, PDWORD);

// Missing on Windows before Vista: the path then comes from the first module.
QueryImageNameFn QueryImageName() {
    static const QueryImageNameFn fn = [] {
        try {
            return win::Bind<QueryImageNameFn>(L"kernel32.dll", "QueryFullProcessImageNameW");
        } catch (const SystemError&) {
            return QueryImageNameFn{};
        }
    }();
    return fn;
}

bool VistaOrLater() {
    static const bool vista = sys::GetOsVersion().major >= 6;
    return vista;
}

std::string ImagePath(HANDLE process) {
    wchar_t buf[261];
    DWORD len = 261;
    if (VistaOrLater()) {
        const QueryImageNameFn query = QueryImageName();
        if (!query || !query(process, 0, buf, &len)) return {};
        return win::Utf8(buf, len);
    }
    HMODULE first = nullptr;
    DWORD needed = 0;
    if (!EnumProcessModules(process, &first, sizeof first, &needed)) return {};
    len = GetModuleFileNameExW(process, first, buf, 261);
    return len ? win::Utf8(buf, len) : std::string();
}

double LocalDateTime(const FILETIME& created) {
    if (created.dwLowDateTime == 0 && created.dwHighDateTime == 0) return 0;
    FILETIME local;
    SYSTEMTIME st;
    if (!FileTimeToLocalFileTime(&created, &local) || !FileTimeToSystemTime(&local, &st)) return sys::NowLocal();
    return qz::EncodeDateTime({st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds});
}

}  // namespace

std::optional<std::vector<uint32_t>> EnumerateProcessIds() {
    std::vector<DWORD> ids(MaxProcessIds);
    DWORD bytes = 0;
    if (!EnumProcesses(ids.data(), static_cast<DWORD>(ids.size() * sizeof(DWORD)), &bytes)) return std::nullopt;
    ids.resize(bytes / sizeof(DWORD));
    return std::vector<uint32_t>(ids.begin(), ids.end());
}

ImagePathQuery ImagePathQueryInUse() {
    return VistaOrLater() ? ImagePathQuery::FullImageName : ImagePathQuery::FirstModule;
}

namespace {

// A process opened for the queries a snapshot makes; null with openError set when it can't be.
HANDLE OpenForQuery(uint32_t pid, uint32_t& openError) {
    const DWORD access = VistaOrLater() ? PROCESS_QUERY_LIMITED_INFORMATION : PROCESS_QUERY_INFORMATION | PROCESS_VM_READ;
    HANDLE h = OpenProcess(access, FALSE, pid);
    if (!h) openError = GetLastError();
    return h;
}

// The process's start as local time, or the error that kept it.
void ReadStart(HANDLE process, double& startTime, uint32_t& timesError) {
    FILETIME created{}, exited, kernel, user;
    if (GetProcessTimes(process, &created, &exited, &kernel, &user))
        startTime = LocalDateTime(created);
    else
        timesError = GetLastError();
}

}  // namespace

std::optional<ProcessFacts> QueryProcess(uint32_t pid, uint32_t& openError) {
    const win::Handle h(OpenForQuery(pid, openError));
    if (!h) return std::nullopt;
    ProcessFacts facts;
    facts.handle = reinterpret_cast<uintptr_t>(h.get());
    facts.imagePath = ImagePath(h.get());
    ReadStart(h.get(), facts.startTime, facts.timesError);
    DWORD session = 0;
    if (ProcessIdToSessionId(pid, &session)) facts.sessionId = session;
    return facts;
}

std::optional<ProcessStart> QueryProcessStart(uint32_t pid, uint32_t& openError) {
    const win::Handle h(OpenForQuery(pid, openError));
    if (!h) return std::nullopt;
    ProcessStart start;
    ReadStart(h.get(), start.startTime, start.timesError);
    return start;
}

ProcessHandle OpenProcessAllAccess(uint32_t pid) {
    return reinterpret_cast<ProcessHandle>(OpenProcess(PROCESS_ALL_ACCESS, FALSE, pid));
}

void CloseProcess(ProcessHandle process) {
    if (process) CloseHandle(reinterpret_cast<HANDLE>(process));
}

std::string TokenUserAccount(sec::TokenHandle token) {
    std::vector<DWORD> buf(64);
    DWORD need = 0;
    while (!GetTokenInformation(reinterpret_cast<HANDLE>(token), TokenUser, buf.data(),
                                static_cast<DWORD>(buf.size() * sizeof(DWORD)), &need)) {
        const DWORD err = GetLastError();
        if (err != ERROR_INSUFFICIENT_BUFFER || need <= buf.size() * sizeof(DWORD) || need > 65536)
            ThrowSystemError(err);
        buf.resize((need + sizeof(DWORD) - 1) / sizeof(DWORD));
    }
    const auto* user = reinterpret_cast<const TOKEN_USER*>(buf.data());
    wchar_t name[256], domain[256];
    DWORD nameLen = 256, domainLen = 256;
    SID_NAME_USE use;
    if (!LookupAccountSidW(nullptr, user->User.Sid, name, &nameLen, domain, &domainLen, &use))
        ThrowSystemError(GetLastError());
    return win::Utf8(domain) + "\\" + win::Utf8(name);
}

PrivilegeOutcome SetOwnPrivilege(const std::string& name, bool enable) {
    HANDLE raw = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &raw))
        return {PrivilegeStep::OpenToken, GetLastError()};
    win::Handle token(raw);
    TOKEN_PRIVILEGES tp{};
    tp.PrivilegeCount = 1;
    if (!LookupPrivilegeValueW(nullptr, win::Wide(name).c_str(), &tp.Privileges[0].Luid))
        return {PrivilegeStep::Lookup, GetLastError()};
    tp.Privileges[0].Attributes = enable ? SE_PRIVILEGE_ENABLED : 0;
    SetLastError(0);
    AdjustTokenPrivileges(token.get(), FALSE, &tp, sizeof tp, nullptr, nullptr);
    // Success with ERROR_NOT_ALL_ASSIGNED still means the privilege is missing.
    if (const DWORD err = GetLastError()) return {PrivilegeStep::Adjust, err};
    return {};
}

bool TerminateById(uint32_t pid, uint32_t exitCode, uint32_t waitMs) {
    // SYNCHRONIZE as well: without it the wait below would fail at once.
    win::Handle h(OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid));
    if (!h || !TerminateProcess(h.get(), exitCode)) return false;
    WaitForSingleObject(h.get(), waitMs);
    return true;
}

bool ExitSystem(uint32_t flags) { return ExitWindowsEx(flags, 0) != FALSE; }

std::string ProcessImagePath(ProcessHandle process) { return ImagePath(reinterpret_cast<HANDLE>(process)); }

StartInSessionResult StartAsProcessUser(ProcessHandle process, const SessionStart& start, uint32_t& startError) {
    if (!process) return StartInSessionResult::CantOpenProcess;
    HANDLE raw = nullptr;
    if (!OpenProcessToken(reinterpret_cast<HANDLE>(process), TOKEN_DUPLICATE | TOKEN_ASSIGN_PRIMARY | TOKEN_QUERY,
                          &raw))
        return StartInSessionResult::CantOpenToken;
    win::Handle token(raw);
    HANDLE dupRaw = nullptr;
    if (!DuplicateTokenEx(token.get(), MAXIMUM_ALLOWED, nullptr, SecurityImpersonation, TokenPrimary, &dupRaw))
        return StartInSessionResult::CantDuplicateToken;
    win::Handle primary(dupRaw);
    if (start.uiAccess) {
        // UI access lets a program drive elevated windows: only ever on the
        // system account's token, never on one a user's program could own.
        if (sec::TokenUserSid(reinterpret_cast<sec::TokenHandle>(primary.get())) != sec::LocalSystemSid)
            return StartInSessionResult::NotSystemToken;
        DWORD on = 1;
        SetTokenInformation(primary.get(), TokenUIAccess, &on, sizeof on);
    }
    STARTUPINFOW si{};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_SHOWNORMAL;
    std::wstring desktop = win::Wide(start.desktop);
    if (!desktop.empty()) si.lpDesktop = desktop.data();
    const std::wstring app = win::Wide(start.appPath);
    std::wstring cmd = L"\"" + app + L"\" " + win::Wide(start.commandLine);
    cmd.push_back(L'\0');
    PROCESS_INFORMATION pi{};
    // The new process and thread keep the token's default security: an open
    // access list would let any user of the session take over a system process.
    if (!CreateProcessAsUserW(primary.get(), app.c_str(), cmd.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS,
                              nullptr, nullptr, &si, &pi)) {
        startError = GetLastError();
        return StartInSessionResult::CantStart;
    }
    CloseHandle(pi.hThread);
    if (start.waitForEndMs) WaitForSingleObject(pi.hProcess, start.waitForEndMs);
    CloseHandle(pi.hProcess);
    return StartInSessionResult::Started;
}

}  // namespace platform::proc
