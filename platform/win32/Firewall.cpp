#include "platform/Firewall.h"

#include "platform/win32/Com.h"
// After windows.h: it needs the declarations that header brings.
#include <netfw.h>

namespace platform::fw {

using win::Bstr;
using win::Com;

namespace {

// {E2B3C97F-6AE1-41AC-817A-F6F92166D7DD}, {2C5BC43E-3369-4C33-AB0C-BE9469677AF4}
const CLSID kPolicy2 = {0xe2b3c97f, 0x6ae1, 0x41ac, {0x81, 0x7a, 0xf6, 0xf9, 0x21, 0x66, 0xd7, 0xdd}};
const CLSID kRule = {0x2c5bc43e, 0x3369, 0x4c33, {0xab, 0x0c, 0xbe, 0x94, 0x69, 0x67, 0x7a, 0xf4}};

void Check(HRESULT hr) {
    if (FAILED(hr)) ThrowSystemError(static_cast<uint32_t>(hr));
}

// The policy's rule collection.
struct Collection {
    win::ComScope com;
    win::ComRef<INetFwPolicy2> policy;
    win::ComRef<INetFwRules> rules;
    Collection() {
        Check(Com().create(kPolicy2, nullptr, CLSCTX_INPROC_SERVER, __uuidof(INetFwPolicy2),
                           reinterpret_cast<void**>(&policy.p)));
        Check(policy.p->get_Rules(&rules.p));
    }
};

}  // namespace

// A library or entry point that can't be bound raises SystemError like any failure.
int RenameRules(const std::function<std::string(const std::string& applicationName)>& fn) {
    Collection c;
    win::ComRef<IUnknown> unknown;
    Check(c.rules.p->get__NewEnum(&unknown.p));
    win::ComRef<IEnumVARIANT> items;
    Check(unknown.p->QueryInterface(__uuidof(IEnumVARIANT), reinterpret_cast<void**>(&items.p)));
    int renamed = 0;
    for (;;) {
        VARIANT v{};
        v.vt = VT_EMPTY;
        ULONG got = 0;
        if (items.p->Next(1, &v, &got) != S_OK || got == 0) break;
        win::ComRef<INetFwRule> rule;
        HRESULT hr = E_NOINTERFACE;
        if (v.vt == VT_DISPATCH && v.pdispVal)
            hr = v.pdispVal->QueryInterface(__uuidof(INetFwRule), reinterpret_cast<void**>(&rule.p));
        Com().clear(&v);
        if (FAILED(hr)) continue;
        BSTR app = nullptr;
        const std::string path = SUCCEEDED(rule.p->get_ApplicationName(&app)) ? win::FromBstr(app) : std::string();
        Com().freeString(app);
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
    win::ComRef<INetFwRule> rule;
    Check(Com().create(kRule, nullptr, CLSCTX_INPROC_SERVER, __uuidof(INetFwRule),
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
