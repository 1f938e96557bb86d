#include "platform/Accounts.h"

#include "platform/win32/WinText.h"
// After windows.h: it needs the declarations that header brings.
#include <lm.h>

namespace platform::acct {
namespace {

using GetInfoFn = NET_API_STATUS(WINAPI*)(LPCWSTR, LPCWSTR, DWORD, LPBYTE*);
using FreeFn = NET_API_STATUS(WINAPI*)(LPVOID);

}  // namespace

std::optional<std::string> LocalUserFullName(const std::string& userName) {
    try {
        // Bound at run time, so a system without the library answers empty.
        static GetInfoFn getInfo = win::Bind<GetInfoFn>(L"netapi32.dll", "NetUserGetInfo");
        static FreeFn freeBuffer = win::Bind<FreeFn>(L"netapi32.dll", "NetApiBufferFree");
        LPBYTE buf = nullptr;
        const std::wstring name = win::Wide(userName);
        if (getInfo(nullptr, name.c_str(), 2, &buf) != NERR_Success) {
            if (buf) freeBuffer(buf);
            return std::nullopt;
        }
        std::string full = win::Utf8(reinterpret_cast<USER_INFO_2*>(buf)->usri2_full_name);
        freeBuffer(buf);
        return full;
    } catch (const SystemError&) {
        return std::nullopt;
    }
}

}  // namespace platform::acct
