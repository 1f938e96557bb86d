#include "platform/win32/Com.h"

namespace platform::win {

const ComApi& Com() {
    static const ComApi api;
    return api;
}

Bstr::Bstr(const std::string& text) : s(Com().allocString(Wide(text).c_str())) {
    if (!s && !text.empty()) ThrowSystemError(ERROR_NOT_ENOUGH_MEMORY);
}

std::string FromBstr(BSTR text) { return text ? Utf8(text, Com().length(text)) : std::string(); }

ComScope::ComScope() {
    const HRESULT hr = Com().initialize(nullptr, COINIT_MULTITHREADED);
    // Already set up otherwise on this thread is fine; it isn't ours to end then.
    FOurs = SUCCEEDED(hr);
    if (FAILED(hr) && hr != RPC_E_CHANGED_MODE) ThrowSystemError(static_cast<uint32_t>(hr));
}

ComScope::~ComScope() {
    if (FOurs) Com().uninitialize();
}

}  // namespace platform::win
