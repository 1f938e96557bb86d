#include "platform/Security.h"

#include <vector>

#include "platform/win32/WinText.h"
// After windows.h: it needs the declarations that header brings.
#include <sddl.h>

namespace platform::sec {

bool TokenIsAdmin(TokenHandle token, uint32_t groupBufferLimit) {
    const HANDLE h = reinterpret_cast<HANDLE>(token);
    DWORD size = groupBufferLimit;
    if (size == 0) {
        GetTokenInformation(h, TokenGroups, nullptr, 0, &size);
        if (size == 0) return false;
    }
    // DWORD-aligned storage for the group list.
    std::vector<DWORD> buf((size + sizeof(DWORD) - 1) / sizeof(DWORD));
    DWORD got = 0;
    if (!GetTokenInformation(h, TokenGroups, buf.data(), size, &got)) return false;
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    if (!AllocateAndInitializeSid(&nt, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0,
                                  &admins))
        return false;
    const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(buf.data());
    bool found = false;
    for (DWORD i = 0; i < groups->GroupCount && !found; ++i) found = EqualSid(groups->Groups[i].Sid, admins) != FALSE;
    FreeSid(admins);
    return found;
}

void CloseToken(TokenHandle token) {
    if (token) CloseHandle(reinterpret_cast<HANDLE>(token));
}

TokenHandle OpenProcessTokenForQuery(ProcessHandle process) {
    HANDLE t = nullptr;
    if (!OpenProcessToken(reinterpret_cast<HANDLE>(process), TOKEN_QUERY, &t)) return 0;
    return reinterpret_cast<TokenHandle>(t);
}

std::string TokenUserSid(TokenHandle token) {
    std::vector<DWORD> buf(64);
    DWORD need = 0;
    while (!GetTokenInformation(reinterpret_cast<HANDLE>(token), TokenUser, buf.data(),
                                static_cast<DWORD>(buf.size() * sizeof(DWORD)), &need)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || need <= buf.size() * sizeof(DWORD) || need > 65536)
            return {};
        buf.resize((need + sizeof(DWORD) - 1) / sizeof(DWORD));
    }
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(reinterpret_cast<const TOKEN_USER*>(buf.data())->User.Sid, &text)) return {};
    std::string out = win::Utf8(text);
    LocalFree(text);
    return out;
}

TokenHandle OpenCurrentTokenForQuery() {
    HANDLE t = nullptr;
    if (OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &t)) return reinterpret_cast<TokenHandle>(t);
    if (GetLastError() != ERROR_NO_TOKEN) return 0;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &t)) return 0;
    return reinterpret_cast<TokenHandle>(t);
}

std::string AccountSidString(const std::string& accountName) {
    const std::wstring name = win::Wide(accountName);
    DWORD sidSize = 0, domainSize = 0;
    SID_NAME_USE use;
    LookupAccountNameW(nullptr, name.c_str(), nullptr, &sidSize, nullptr, &domainSize, &use);
    if (sidSize == 0) ThrowSystemError(GetLastError());
    std::vector<BYTE> sid(sidSize);
    std::wstring domain(domainSize + 1, L'\0');
    if (!LookupAccountNameW(nullptr, name.c_str(), sid.data(), &sidSize, domain.data(), &domainSize, &use))
        ThrowSystemError(GetLastError());
    wchar_t* text = nullptr;
    if (!ConvertSidToStringSidW(sid.data(), &text)) return {};
    std::string out = win::Utf8(text);
    LocalFree(text);
    return out;
}

}  // namespace platform::sec
