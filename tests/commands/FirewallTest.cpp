#include "commands/FirewallUtils.h"

#include "tests/support/TestSupport.h"

using namespace qz;

namespace {

class Firewall : public qztest::PlatformTest {
protected:
    const std::string program = "C:\\Program Files\\Tallisto\\QZService.exe";
    int RulesFor(const std::string& app) {
        int n = 0;
        for (const auto& r : W().firewallRules) n += r.applicationName == app;
        return n;
    }
};

TEST_F(Firewall, EveryStartLeavesOneRuleForTheProgramAndOthersAlone) {
    W().firewallRules = {{"Tallisto Service", "", "C:\\Other\\QZService.exe", "All", 1, true},
                         {"Old name", "", program, "All", 1, true},
                         {"Mail", "", "C:\\Mail\\mail.exe", "All", 1, true},
                         {"Upper case", "", "C:\\PROGRAM FILES\\TALLISTO\\QZSERVICE.EXE", "All", 1, true}};
    EXPECT_TRUE(TFirewallUtils::OpenFirewall(program));
    EXPECT_TRUE(TFirewallUtils::OpenFirewall(program));
    EXPECT_EQ(RulesFor(program), 1);
    const auto& rule = W().firewallRules.back();
    EXPECT_EQ(rule.name, "Tallisto Service");
    EXPECT_EQ(rule.description, "Tallisto Service");
    EXPECT_EQ(rule.interfaceTypes, "All");
    EXPECT_EQ(rule.action, 1);
    EXPECT_TRUE(rule.enabled);
    // Another program's rule of the same name, and names compared with their case, stay.
    EXPECT_EQ(RulesFor("C:\\Other\\QZService.exe"), 1);
    EXPECT_EQ(W().firewallRules[0].name, "Tallisto Service");
    EXPECT_EQ(RulesFor("C:\\Mail\\mail.exe"), 1);
    EXPECT_EQ(RulesFor("C:\\PROGRAM FILES\\TALLISTO\\QZSERVICE.EXE"), 1);
    EXPECT_EQ(W().firewallRules.size(), 4u);
}

TEST_F(Firewall, ARemovalThatStopsHalfWayIsFinishedNextTime) {
    W().firewallRules = {{"a", "", program, "", 1, true}, {"b", "", program, "", 1, true}};
    W().firewallRemoveFailsAfter = 1;
    EXPECT_TRUE(TFirewallUtils::OpenFirewall(program));
    EXPECT_TRUE(log->Has("RemoveFirewallException error Access is denied"));
    EXPECT_EQ(RulesFor(program), 2);  // the marked one left, and the new rule
    W().firewallRemoveFailsAfter = -1;
    EXPECT_TRUE(TFirewallUtils::OpenFirewall(program));
    EXPECT_EQ(RulesFor(program), 1);
}

TEST_F(Firewall, WithoutTheFirewallBothStepsAreLoggedAndFalseIsAnswered) {
    W().firewallUnavailable = true;
    EXPECT_FALSE(TFirewallUtils::OpenFirewall(program));
    const auto lines = log->Lines();
    int warnings = 0;
    for (const auto& l : lines)
        warnings += l.rfind("RemoveFirewallException error ", 0) == 0 || l.rfind("Open Vista firewall error ", 0) == 0;
    EXPECT_EQ(warnings, 2);
}

}  // namespace
