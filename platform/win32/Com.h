#pragma once
// COM for the management queries and the firewall. Its entry points are
// bound on first use: most stations rarely need it, and its libraries cost
// every process memory when they load at start. Binding fails with
// SystemError, like the calls that use it.
#include "platform/win32/WinText.h"
// After windows.h: they need the declarations that header brings.
#include <objbase.h>
#include <oleauto.h>

#include <string>

namespace platform::win {

struct ComApi {
    decltype(&CoInitializeEx) initialize = Bind<decltype(&CoInitializeEx)>(L"ole32.dll", "CoInitializeEx");
    decltype(&CoUninitialize) uninitialize = Bind<decltype(&CoUninitialize)>(L"ole32.dll", "CoUninitialize");
    decltype(&CoCreateInstance) create = Bind<decltype(&CoCreateInstance)>(L"ole32.dll", "CoCreateInstance");
    decltype(&CoSetProxyBlanket) blanket = Bind<decltype(&CoSetProxyBlanket)>(L"ole32.dll", "CoSetProxyBlanket");
    decltype(&SysAllocString) allocString = Bind<decltype(&SysAllocString)>(L"oleaut32.dll", "SysAllocString");
    decltype(&SysFreeString) freeString = Bind<decltype(&SysFreeString)>(L"oleaut32.dll", "SysFreeString");
    decltype(&SysStringLen) length = Bind<decltype(&SysStringLen)>(L"oleaut32.dll", "SysStringLen");
    decltype(&VariantClear) clear = Bind<decltype(&VariantClear)>(L"oleaut32.dll", "VariantClear");
    decltype(&VariantChangeType) change = Bind<decltype(&VariantChangeType)>(L"oleaut32.dll", "VariantChangeType");
};
const ComApi& Com();

// An interface pointer released when leaving scope.
template <typename T>
struct ComRef {
    T* p = nullptr;
    ComRef() = default;
    ComRef(const ComRef&) = delete;
    ComRef& operator=(const ComRef&) = delete;
    ~ComRef() {
        if (p) p->Release();
    }
};

class Bstr {
public:
    explicit Bstr(const std::string& text);
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { Com().freeString(s); }
    BSTR s;
};
// A BSTR as UTF-8.
std::string FromBstr(BSTR text);

// COM for the length of one call, when this thread hasn't set it up itself;
// SystemError when it can't be had.
class ComScope {
public:
    ComScope();
    ~ComScope();
    ComScope(const ComScope&) = delete;
    ComScope& operator=(const ComScope&) = delete;

private:
    bool FOurs = false;
};

}  // namespace platform::win
