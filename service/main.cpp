#include <memory>
#include <string>
#include <vector>

#include "platform/SystemInfo.h"
#include "service/QZServiceBootstrap.h"
#include "service/ServiceBootstrapProxy.h"
#include "service/ServiceFramework.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args = platform::sys::CommandLineArgs(argc, argv);
    // A child of the agent, started for one job, runs it and ends.
    if (const auto code = qz::TProxyGuardService::RunChildJob(args)) return *code;
    qz::TServiceApplication& app = qz::TServiceApplication::Instance();
    app.Initialize();
    app.Title = "Tallisto service";
    app.AddService(std::make_unique<qz::TTallistoClient>());
    const int rc = app.Run(args);
    qz::TProxyGuardService::Shutdown();
    return rc;
}
