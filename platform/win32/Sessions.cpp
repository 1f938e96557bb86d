#include "platform/Sessions.h"

#include "platform/win32/WinText.h"
// After windows.h: it needs the declarations that header brings.
#include <wtsapi32.h>

namespace platform::wts {
namespace {

using EnumerateFn = BOOL(WINAPI*)(HANDLE, DWORD, DWORD, PWTS_SESSION_INFOW*, DWORD*);
using QueryFn = BOOL(WINAPI*)(HANDLE, DWORD, WTS_INFO_CLASS, LPWSTR*, DWORD*);
using QueryTokenFn = BOOL(WINAPI*)(ULONG, PHANDLE);
using FreeFn = void(WINAPI*)(PVOID);

constexpr const wchar_t* kLib = L"wtsapi32.dll";

FreeFn Free() {
    static FreeFn fn = win::Bind<FreeFn>(kLib, "WTSFreeMemory");
    return fn;
}

// One information record of a session, freed after use; nullopt when the query fails.
template <typename R, typename T, typename Read>
std::optional<R> QueryRecord(uint32_t sessionId, uint32_t infoClass, Read read) {
    try {
        static QueryFn query = win::Bind<QueryFn>(kLib, "WTSQuerySessionInformationW");
        LPWSTR buf = nullptr;
        DWORD bytes = 0;
        if (!query(WTS_CURRENT_SERVER_HANDLE, sessionId, static_cast<WTS_INFO_CLASS>(infoClass), &buf, &bytes))
            return std::nullopt;
        std::optional<R> out;
        if (buf && bytes >= sizeof(T)) out = read(*reinterpret_cast<const T*>(buf));
        Free()(buf);
        return out;
    } catch (const SystemError&) {
        return std::nullopt;
    }
}

}  // namespace

std::optional<std::vector<SessionEntry>> EnumerateSessions() {
    try {
        static EnumerateFn enumerate = win::Bind<EnumerateFn>(kLib, "WTSEnumerateSessionsW");
        const FreeFn free = Free();
        PWTS_SESSION_INFOW info = nullptr;
        DWORD count = 0;
        if (!enumerate(WTS_CURRENT_SERVER_HANDLE, 0, 1, &info, &count)) return std::nullopt;
        std::vector<SessionEntry> out;
        for (DWORD i = 0; i < count; ++i)
            out.push_back({info[i].SessionId, win::Utf8(info[i].pWinStationName), static_cast<uint32_t>(info[i].State)});
        free(info);
        return out;
    } catch (const SystemError&) {
        return std::nullopt;
    }
}

std::optional<std::string> QuerySessionString(uint32_t sessionId, uint32_t infoClass) {
    return QueryRecord<std::string, wchar_t>(sessionId, infoClass, [](const wchar_t& first) { return win::Utf8(&first); });
}

sec::TokenHandle QueryUserToken(uint32_t sessionId) {
    static QueryTokenFn query = win::Bind<QueryTokenFn>(kLib, "WTSQueryUserToken");
    HANDLE token = nullptr;
    if (!query(sessionId, &token)) ThrowSystemError(GetLastError());
    return reinterpret_cast<sec::TokenHandle>(token);
}


std::optional<uint16_t> QueryClientProtocolType(uint32_t sessionId) {
    return QueryRecord<uint16_t, USHORT>(sessionId, WTSClientProtocolType, [](const USHORT& v) { return uint16_t{v}; });
}

std::optional<std::string> QueryWinStationName(uint32_t sessionId) {
    return QueryRecord<std::string, WTSINFOW>(sessionId, ::WTSSessionInfo, [](const WTSINFOW& info) {
        return win::Utf8(info.WinStationName, wcsnlen(info.WinStationName, WINSTATIONNAME_LENGTH));
    });
}

bool LogoffSession(uint32_t sessionId) {
    try {
        using LogoffFn = BOOL(WINAPI*)(HANDLE, DWORD, BOOL);
        static LogoffFn logoff = win::Bind<LogoffFn>(kLib, "WTSLogoffSession");
        return logoff(WTS_CURRENT_SERVER_HANDLE, sessionId, FALSE) != FALSE;
    } catch (const SystemError&) {
        return false;
    }
}

bool SendSessionMessage(uint32_t sessionId, const std::string& title, const std::string& text, uint32_t style) {
    try {
        using SendFn = BOOL(WINAPI*)(HANDLE, DWORD, LPWSTR, DWORD, LPWSTR, DWORD, DWORD, DWORD, DWORD*, BOOL);
        static SendFn send = win::Bind<SendFn>(kLib, "WTSSendMessageW");
        std::wstring t = win::Wide(title), m = win::Wide(text);
        DWORD answer = 0;
        // Lengths in bytes; no time-out, no waiting for the user.
        return send(WTS_CURRENT_SERVER_HANDLE, sessionId, t.data(), static_cast<DWORD>(t.size() * sizeof(wchar_t)),
                    m.data(), static_cast<DWORD>(m.size() * sizeof(wchar_t)), style, 0, &answer, FALSE) != FALSE;
    } catch (const SystemError&) {
        return false;
    }
}

std::optional<std::vector<ProcessEntry>> EnumerateProcesses() {
    try {
        using EnumFn = BOOL(WINAPI*)(HANDLE, DWORD, DWORD, PWTS_PROCESS_INFOW*, DWORD*);
        static EnumFn enumerate = win::Bind<EnumFn>(kLib, "WTSEnumerateProcessesW");
        PWTS_PROCESS_INFOW info = nullptr;
        DWORD count = 0;
        if (!enumerate(WTS_CURRENT_SERVER_HANDLE, 0, 1, &info, &count)) return std::nullopt;
        std::vector<ProcessEntry> out;
        for (DWORD i = 0; i < count; ++i)
            out.push_back({info[i].SessionId, info[i].ProcessId, win::Utf8(info[i].pProcessName)});
        Free()(info);
        return out;
    } catch (const SystemError&) {
        return std::nullopt;
    }
}

}  // namespace platform::wts
