#include <filesystem>
#include <fstream>

#include "common/Utils.h"
#include "service/ServiceBootstrapProxy.h"
#include "tests/support/TestSupport.h"

using namespace qz;
using qztest::PlatformTest;

namespace fs = std::filesystem;

using RestartHandlerTest = PlatformTest;

TEST_F(RestartHandlerTest, StartsTheRestartProgramPerMessage) {
    const fs::path dir = ToFsPath(W().commonAppData) / "bin";
    fs::create_directories(dir);
    W().modulePath = (dir / "QZService.exe").string();
    TRestartLoggerHandler restart(logThrowing);
    restart.SetActive(true);
    TLogger::Throwing("Number of socket error is exceeded. It is time to restart.");
    EXPECT_TRUE(W().startedProcesses.empty());  // no restart.exe yet

    std::ofstream((dir / "restart.exe").string()) << "MZ";
    TLogger::Throwing("Error in a ping thread boom");
    TLogger::Throwing("Error in License Manager boom");
    TLogger::Warning("not a restart");
    ASSERT_EQ(W().startedProcesses.size(), 2u);
    EXPECT_EQ(W().startedProcesses[0], "\"" + (dir / "restart.exe").string() + "\" TallistoClient");
}

namespace {
class StartUpTest : public PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        TProxyGuardService::ResetForTests();
    }
    void TearDown() override {
        TProxyGuardService::ResetForTests();
        PlatformTest::TearDown();
    }
    TService service{"TallistoClient"};
};
}  // namespace

TEST_F(StartUpTest, AFailingStartStopsTheServiceWithItsReasonInsteadOfEndingTheProcess) {
    TProxyGuardService::StartMainService(&service, [] { throw std::runtime_error("no thread for the heartbeat"); });
    EXPECT_EQ(service.FErrCode, TProxyGuardService::StartFailedCode);
    TThreadMessage msg;
    ASSERT_TRUE(service.Messages().Get(msg, false));
    EXPECT_EQ(msg.message, CM_SERVICE_CONTROL);
    EXPECT_EQ(msg.wParam, platform::scm::ControlCodeStop);
    EXPECT_TRUE(log->Has("Error while starting the service - no thread for the heartbeat"));
    ASSERT_FALSE(W().events.empty());
    EXPECT_EQ(W().events.back().text, "Service failed on start: no thread for the heartbeat");
}

TEST_F(StartUpTest, AStopThatCameFirstWins) {
    bool ran = false;
    bool stopped = true;
    TProxyGuardService::ServiceStop(service, stopped);  // nothing built yet: nothing to stop
    TProxyGuardService::StartMainService(&service, [&] { ran = true; });
    EXPECT_FALSE(ran);
    EXPECT_EQ(service.FErrCode, 0u);
}

// The firewall's rule is made by a child of the agent's program (its COM
// stays out of the agent), which the program's own arguments lead to its job.
TEST_F(StartUpTest, TheFirewallRuleIsMadeInAChildOfTheProgram) {
    W().modulePath = "C:\\Agent\\QZService.exe";
    qztest::StageAgentChild(W().modulePath);
    TLogger::SetMainLevel(logFinest);
    TProxyGuardService::OpenFirewall();
    EXPECT_EQ(W().childRuns, std::vector<std::string>{"C:\\Agent\\QZService.exe /qz-child firewall 6"});
    ASSERT_EQ(W().firewallRules.size(), 1u);
    EXPECT_EQ(W().firewallRules[0].applicationName, "C:\\Agent\\QZService.exe");
    EXPECT_TRUE(log->Has("Trying to open the firewall"));

    // A failure in the child is logged there and reaches the agent's log.
    W().firewallAddFails = true;
    TProxyGuardService::OpenFirewall();
    bool logged = false;
    for (const auto& line : log->Lines()) logged |= line.rfind("Open Vista firewall error ", 0) == 0;
    EXPECT_TRUE(logged);
}

TEST_F(StartUpTest, OnlyTheChildSwitchRunsAJob) {
    EXPECT_EQ(TProxyGuardService::RunChildJob({}), std::nullopt);
    EXPECT_EQ(TProxyGuardService::RunChildJob({"/install"}), std::nullopt);
    EXPECT_EQ(TProxyGuardService::RunChildJob({"/qz-child", "wmi-facts"}), std::nullopt);
    EXPECT_EQ(TProxyGuardService::RunChildJob({"/qz-child", "no-such-job", "3"}), std::optional<int>(2));
    EXPECT_TRUE(W().standardOutput.empty());
    EXPECT_EQ(TProxyGuardService::RunChildJob({"/qz-child", "firewall", "3"}), std::optional<int>(0));
    EXPECT_EQ(W().standardOutput, "R0 1\n1");
}
