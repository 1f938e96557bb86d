#pragma once
#include <string>

namespace qz {

// Lets the guard server's connections in to the agent: one "allow" rule for
// the agent's program, replacing any earlier rule that names it.
class TFirewallUtils {
public:
    static constexpr const char* MarkerName = "{98FB6862-2384-4F07-82C2-C9D71C029CB9}";
    static constexpr const char* RuleName = "Tallisto Service";
    // Whether the new rule was added; failures are logged.
    static bool OpenFirewall(const std::string& AProgramName);
};

}  // namespace qz
