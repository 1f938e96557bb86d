#include "platform/Errors.h"
#include "platform/Firewall.h"
#include "platform/fake/FakeWorld.h"

namespace platform::fw {

using fake::Locked;

namespace {
constexpr uint32_t ServiceMissing = 0x800706D9;  // no endpoints: the firewall service isn't running
}

int RenameRules(const std::function<std::string(const std::string&)>& fn) {
    std::vector<fake::FirewallWorld::Rule> rules;
    {
        Locked w;
        if (w->firewallUnavailable) ThrowSystemError(ServiceMissing);
        rules = w->firewallRules;
    }
    int renamed = 0;
    for (auto& r : rules) {
        const std::string name = fn(r.applicationName);
        if (name.empty()) continue;
        r.name = name;
        ++renamed;
    }
    Locked()->firewallRules = rules;
    return renamed;
}

void RemoveRule(const std::string& name) {
    Locked w;
    if (w->firewallUnavailable) ThrowSystemError(ServiceMissing);
    if (w->firewallRemoveFailsAfter == 0) ThrowSystemError(ErrorAccessDenied);
    if (w->firewallRemoveFailsAfter > 0) --w->firewallRemoveFailsAfter;
    for (auto it = w->firewallRules.begin(); it != w->firewallRules.end(); ++it)
        if (AsciiLower(it->name) == AsciiLower(name)) {
            w->firewallRules.erase(it);
            return;
        }
}

void AddRule(const NewRule& r) {
    Locked w;
    if (w->firewallUnavailable) ThrowSystemError(ServiceMissing);
    if (w->firewallAddFails) ThrowSystemError(ErrorAccessDenied);
    w->firewallRules.push_back({r.name, r.description, r.applicationName, r.interfaceTypes, r.action, r.enabled});
}

}  // namespace platform::fw
