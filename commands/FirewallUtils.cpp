#include "commands/FirewallUtils.h"

#include "common/Logger.h"
#include "platform/Firewall.h"

namespace qz {

bool TFirewallUtils::OpenFirewall(const std::string& AProgramName) {
    TLogger::Finest("Trying to open the firewall");
    try {
        // The collection removes by name only: the program's rules get one
        // marker name first, so no other program's rule is touched.
        const int count = platform::fw::RenameRules([&](const std::string& app) {
            return app == AProgramName ? std::string(MarkerName) : std::string();
        });
        for (int i = 0; i < count; ++i) platform::fw::RemoveRule(MarkerName);
    } catch (const std::exception& e) {
        TLogger::Warning(std::string("RemoveFirewallException error ") + e.what());
    }
    try {
        platform::fw::NewRule rule;
        rule.action = platform::fw::ActionAllow;
        rule.description = RuleName;
        rule.applicationName = AProgramName;
        rule.enabled = true;
        rule.interfaceTypes = "All";
        rule.name = RuleName;
        platform::fw::AddRule(rule);
        return true;
    } catch (const std::exception& e) {
        TLogger::Warning(std::string("Open Vista firewall error ") + e.what());
        return false;
    }
}

}  // namespace qz
