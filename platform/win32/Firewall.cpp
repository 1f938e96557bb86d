#include "platform/Firewall.h"

#include "platform/win32/WinText.h"
// After windows.h: they need the declarations that header brings.
#include <netfw.h>
#include <objbase.h>
#include <oleauto.h>

namespace platform::fw {

namespace {

// {E2B3C97F-6AE1-41AC-817A-F6F92166D7DD}, {2C5BC43E-3369-4C33-AB0C-BE9469677AF4}
const CLSID kPolicy2 = {0xe2b3c97f, 0x6ae1, 0x41ac, {0x81, 0x7a, 0xf6, 0xf9, 0x21, 0x66, 0xd7, 0xdd}};
const CLSID kRule = {0x2c5bc43e, 0x3369, 0x4c33, {0xab, 0x0c, 0xbe, 0x94, 0x69, 0x67, 0x7a, 0xf4}};

// COM is bound on first use, as the management queries bind it: its
// libraries would otherwise load with the agent and stay for its life.
struct Com {
    decltype(&CoInitializeEx) initialize = win::Bind<decltype(&CoInitializeEx)>(L"ole32.dll", "CoInitializeEx");
    decltype(&CoUninitialize) uninitialize = win::Bind<decltype(&CoUninitialize)>(L"ole32.dll", "CoUninitialize");
    decltype(&CoCreateInstance) create = win::Bind<decltype(&CoCreateInstance)>(L"ole32.dll", "CoCreateInstance");
    decltype(&SysAllocString) allocString = win::Bind<decltype(&SysAllocString)>(L"oleaut32.dll", "SysAllocString");
    decltype(&SysFreeString) freeString = win::Bind<decltype(&SysFreeString)>(L"oleaut32.dll", "SysFreeString");
    decltype(&SysStringLen) length = win::Bind<decltype(&SysStringLen)>(L"oleaut32.dll", "SysStringLen");
    decltype(&VariantClear) clear = win::Bind<decltype(&VariantClear)>(L"oleaut32.dll", "VariantClear");
};
const Com& Api() {
    static const Com com;
    return com;
}

void Check(HRESULT hr) {
    if (FAILED(hr)) ThrowSystemError(static_cast<uint32_t>(hr));
}

template <typename T>
struct Ref {
    T* p = nullptr;
    Ref() = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() {
        if (p) p->Release();
    }
};

struct Bstr {
    BSTR s;
    explicit Bstr(const std::string& text) : s(Api().allocString(win::Wide(text).c_str())) {
        if (!s && !text.empty()) ThrowSystemError(ERROR_NOT_ENOUGH_MEMORY);
    }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { Api().freeString(s); }
};

// COM for the length of one call, when this thread hasn't set it up itself.
struct ComScope {
    bool ours;
    ComScope() {
        const HRESULT hr = Api().initialize(nullptr, COINIT_MULTITHREADED);
        ours = SUCCEEDED(hr);
        if (FAILED(hr) && hr != RPC_E_CHANGED_MODE) Check(hr);
    }
    ~ComScope() {
        if (ours) Api().uninitialize();
    }
};

// The policy's rule collection.
struct Collection {
    ComScope com;
    Ref<INetFwPolicy2> policy;
    Ref<INetFwRules> rules;
    Collection() {
        Check(Api().create(kPolicy2, nullptr, CLSCTX_INPROC_SERVER, __uuidof(INetFwPolicy2),
                               reinterpret_cast<void**>(&policy.p)));
        Check(policy.p->get_Rules(&rules.p));
    }
};

}  // namespace

// A library or entry point that can't be bound raises SystemError like any failure.
int RenameRules(const std::function<std::string(const std::string& applicationName)>& fn) {
    Collection c;
    Ref<IUnknown> unknown;
    Check(c.rules.p->get__NewEnum(&unknown.p));
    Ref<IEnumVARIANT> items;
    Check(unknown.p->QueryInterface(__uuidof(IEnumVARIANT), reinterpret_cast<void**>(&items.p)));
    int renamed = 0;
    for (;;) {
        VARIANT v{};
        v.vt = VT_EMPTY;
        ULONG got = 0;
        if (items.p->Next(1, &v, &got) != S_OK || got == 0) break;
        Ref<INetFwRule> rule;
        HRESULT hr = E_NOINTERFACE;
        if (v.vt == VT_DISPATCH && v.pdispVal)
            hr = v.pdispVal->QueryInterface(__uuidof(INetFwRule), reinterpret_cast<void**>(&rule.p));
        Api().clear(&v);
        if (FAILED(hr)) continue;
        BSTR app = nullptr;
        std::string path;
        if (SUCCEEDED(rule.p->get_ApplicationName(&app)) && app) path = win::Utf8(app, Api().length(app));
        Api().freeString(app);
        const std::string name = fn(path);
        if (name.empty()) continue;
        Bstr b(name);
        Check(rule.p->put_Name(b.s));
        ++renamed;
    }
    return renamed;
}

void RemoveRule(const std::string& name) {
    Collection c;
    Bstr b(name);
    Check(c.rules.p->Remove(b.s));
}

void AddRule(const NewRule& r) {
    Collection c;
    Ref<INetFwRule> rule;
    Check(Api().create(kRule, nullptr, CLSCTX_INPROC_SERVER, __uuidof(INetFwRule),
                           reinterpret_cast<void**>(&rule.p)));
    Check(rule.p->put_Action(static_cast<NET_FW_ACTION>(r.action)));
    Bstr description(r.description), app(r.applicationName), types(r.interfaceTypes), name(r.name);
    Check(rule.p->put_Description(description.s));
    Check(rule.p->put_ApplicationName(app.s));
    Check(rule.p->put_Enabled(r.enabled ? VARIANT_TRUE : VARIANT_FALSE));
    Check(rule.p->put_InterfaceTypes(types.s));
    Check(rule.p->put_Name(name.s));
    Check(c.rules.p->Add(rule.p));
}

}  // namespace platform::fw
