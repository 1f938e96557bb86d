#include "platform/Wmi.h"

#include "platform/win32/WinText.h"
// After windows.h: they need the declarations that header brings.
#include <objbase.h>
#include <wbemidl.h>

namespace platform::wmi {
namespace {

// COM is bound on first use: most stations never ask, and its libraries cost
// every process memory when loaded at start.
struct Com {
    decltype(&CoInitializeEx) initialize = win::Bind<decltype(&CoInitializeEx)>(L"ole32.dll", "CoInitializeEx");
    decltype(&CoUninitialize) uninitialize = win::Bind<decltype(&CoUninitialize)>(L"ole32.dll", "CoUninitialize");
    decltype(&CoCreateInstance) create = win::Bind<decltype(&CoCreateInstance)>(L"ole32.dll", "CoCreateInstance");
    decltype(&CoSetProxyBlanket) blanket = win::Bind<decltype(&CoSetProxyBlanket)>(L"ole32.dll", "CoSetProxyBlanket");
    decltype(&SysAllocString) allocString = win::Bind<decltype(&SysAllocString)>(L"oleaut32.dll", "SysAllocString");
    decltype(&SysFreeString) freeString = win::Bind<decltype(&SysFreeString)>(L"oleaut32.dll", "SysFreeString");
    decltype(&VariantClear) clear = win::Bind<decltype(&VariantClear)>(L"oleaut32.dll", "VariantClear");
    decltype(&SysStringLen) length = win::Bind<decltype(&SysStringLen)>(L"oleaut32.dll", "SysStringLen");
    decltype(&VariantChangeType) change = win::Bind<decltype(&VariantChangeType)>(L"oleaut32.dll", "VariantChangeType");
};

template <typename T>
struct Ref {
    T* p = nullptr;
    ~Ref() {
        if (p) p->Release();
    }
};

struct Bstr {
    const Com& com;
    BSTR s;
    Bstr(const Com& c, const std::string& text) : com(c), s(c.allocString(win::Wide(text).c_str())) {}
    ~Bstr() {
        if (s) com.freeString(s);
    }
};

}  // namespace

std::optional<std::vector<Row>> Query(const std::string& nameSpace, const std::string& wql,
                                      const std::vector<std::string>& properties) {
    try {
        static const Com com;
        const HRESULT init = com.initialize(nullptr, COINIT_MULTITHREADED);
        // Already initialised otherwise on this thread is fine; it isn't ours to end then.
        const bool ours = SUCCEEDED(init);
        if (FAILED(init) && init != RPC_E_CHANGED_MODE) return std::nullopt;
        std::optional<std::vector<Row>> out;
        {
            Ref<IWbemLocator> locator;
            Ref<IWbemServices> services;
            Ref<IEnumWbemClassObject> rows;
            const Bstr ns(com, nameSpace), language(com, "WQL"), query(com, wql);
            if (SUCCEEDED(com.create(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                     reinterpret_cast<void**>(&locator.p))) &&
                SUCCEEDED(locator.p->ConnectServer(ns.s, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services.p)) &&
                SUCCEEDED(com.blanket(services.p, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                                      RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE)) &&
                SUCCEEDED(services.p->ExecQuery(language.s, query.s,
                                                WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY, nullptr,
                                                &rows.p))) {
                out.emplace();
                for (;;) {
                    Ref<IWbemClassObject> row;
                    ULONG got = 0;
                    if (rows.p->Next(static_cast<LONG>(WBEM_INFINITE), 1, &row.p, &got) != WBEM_S_NO_ERROR || !got)
                        break;
                    Row values;
                    for (const auto& name : properties) {
                        VARIANT v{};
                        v.vt = VT_EMPTY;
                        if (SUCCEEDED(row.p->Get(win::Wide(name).c_str(), 0, &v, nullptr, nullptr)) &&
                            v.vt != VT_NULL && v.vt != VT_EMPTY && SUCCEEDED(com.change(&v, &v, 0, VT_BSTR)))
                            values[name] = win::Utf8(v.bstrVal, com.length(v.bstrVal));
                        com.clear(&v);
                    }
                    out->push_back(std::move(values));
                }
            }
        }
        if (ours) com.uninitialize();
        return out;
    } catch (const SystemError&) {
        return std::nullopt;
    }
}

}  // namespace platform::wmi
