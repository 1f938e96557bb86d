#pragma once
// The firewall's rule collection. Every call raises SystemError on failure
// (no firewall service, no rights, no such rule).
#include <cstdint>
#include <functional>
#include <string>

namespace platform::fw {

constexpr int32_t ActionAllow = 1;

struct NewRule {
    std::string name, description, applicationName, interfaceTypes;
    int32_t action = ActionAllow;
    bool enabled = true;
};

// Shows fn every rule's program path (empty when it has none); a rule for
// which fn answers a name is renamed to it. Answers how many were renamed.
int RenameRules(const std::function<std::string(const std::string& applicationName)>& fn);
// Removes one rule by name: the collection removes by name only.
void RemoveRule(const std::string& name);
// Adds a rule; what it doesn't set keeps the rule object's defaults
// (inbound, every protocol, port and profile).
void AddRule(const NewRule& rule);

}  // namespace platform::fw
