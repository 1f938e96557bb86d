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
