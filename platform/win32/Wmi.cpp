#include "platform/Wmi.h"

#include "platform/win32/Com.h"
// After windows.h: it needs the declarations that header brings.
#include <wbemidl.h>

namespace platform::wmi {

using win::Bstr;
using win::Com;
using win::ComRef;

std::optional<std::vector<Row>> Query(const std::string& nameSpace, const std::string& wql,
                                      const std::vector<std::string>& properties) {
    try {
        const win::ComScope scope;
        const win::ComApi& com = Com();
        ComRef<IWbemLocator> locator;
        ComRef<IWbemServices> services;
        ComRef<IEnumWbemClassObject> rows;
        const Bstr ns(nameSpace), language("WQL"), query(wql);
        if (FAILED(com.create(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                              reinterpret_cast<void**>(&locator.p))) ||
            FAILED(locator.p->ConnectServer(ns.s, nullptr, nullptr, nullptr, 0, nullptr, nullptr, &services.p)) ||
            FAILED(com.blanket(services.p, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                               RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE)) ||
            FAILED(services.p->ExecQuery(language.s, query.s, WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                                         nullptr, &rows.p)))
            return std::nullopt;
        std::vector<Row> out;
        for (;;) {
            ComRef<IWbemClassObject> row;
            ULONG got = 0;
            if (rows.p->Next(static_cast<LONG>(WBEM_INFINITE), 1, &row.p, &got) != WBEM_S_NO_ERROR || !got) break;
            Row values;
            for (const auto& name : properties) {
                VARIANT v{};
                v.vt = VT_EMPTY;
                if (SUCCEEDED(row.p->Get(win::Wide(name).c_str(), 0, &v, nullptr, nullptr)) && v.vt != VT_NULL &&
                    v.vt != VT_EMPTY && SUCCEEDED(com.change(&v, &v, 0, VT_BSTR)))
                    values[name] = win::FromBstr(v.bstrVal);
                com.clear(&v);
            }
            out.push_back(std::move(values));
        }
        return out;
    } catch (const SystemError&) {
        return std::nullopt;
    }
}

}  // namespace platform::wmi
