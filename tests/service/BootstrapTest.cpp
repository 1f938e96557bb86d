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
