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
    try {
        static QueryFn query = win::Bind<QueryFn>(kLib, "WTSQuerySessionInformationW");
        const FreeFn free = Free();
        LPWSTR buf = nullptr;
        DWORD bytes = 0;
        if (!query(WTS_CURRENT_SERVER_HANDLE, sessionId, static_cast<WTS_INFO_CLASS>(infoClass), &buf, &bytes))
            return std::nullopt;
        std::string out = win::Utf8(buf);
        free(buf);
        return out;
    } catch (const SystemError&) {
        return std::nullopt;
    }
}

sec::TokenHandle QueryUserToken(uint32_t sessionId) {
    static QueryTokenFn query = win::Bind<QueryTokenFn>(kLib, "WTSQueryUserToken");
    HANDLE token = nullptr;
    if (!query(sessionId, &token)) ThrowSystemError(GetLastError());
    return reinterpret_cast<sec::TokenHandle>(token);
}

}  // namespace platform::wts
