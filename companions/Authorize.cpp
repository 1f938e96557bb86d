// A stand-in for the lab's custom authorization library, for tests and
// trials: the agent only asks whether a local administrator at the console
// unlocks the station at start, and this one says yes when a file named
// "Authorize.unlock" lies beside it. The other switches say no.
#include <windows.h>

#include <string>

namespace {

HMODULE g_self = nullptr;

bool UnlockFileBesideUs() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(g_self, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return false;
    std::wstring file(path, n);
    file = file.substr(0, file.find_last_of(L"\\/") + 1) + L"Authorize.unlock";
    return GetFileAttributesW(file.c_str()) != INVALID_FILE_ATTRIBUTES;
}

}  // namespace

// Exported by name through Authorize.def, undecorated in both builds.
extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) g_self = instance;
    return TRUE;
}

BOOL WINAPI UseInternalAuthorization() { return FALSE; }
BOOL WINAPI DoPostLoginAction() { return FALSE; }
BOOL WINAPI LocalAdminAutoUnlockScreen() { return UnlockFileBesideUs() ? TRUE : FALSE; }
BOOL WINAPI NoImmediateLoginForVista() { return FALSE; }
BOOL WINAPI ShowLoginFormImmediate() { return FALSE; }
BOOL WINAPI LogoutAfterSleepMode() { return FALSE; }
BOOL WINAPI EnableAccessibilityShortcuts() { return FALSE; }

}  // extern "C"
