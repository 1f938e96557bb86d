// Restarts a service: stop it, wait until it has stopped, start it again.
// The agent starts this program when it can't recover on its own, so it must
// outlive the service it restarts: it runs as its own process.
#include <string>
#include <vector>

#include "common/WinUtils.h"
#include "platform/Console.h"
#include "platform/SystemInfo.h"

int main(int argc, char** argv) {
    const std::vector<std::string> args = platform::sys::CommandLineArgs(argc, argv);
    if (args.empty() || args[0].empty()) {
        platform::sys::ShowMessage("Usage: restart <service name>", true);
        return 2;
    }
    const std::string& name = args[0];
    if (!qz::TServiceUtils::IsServiceInstalled(name, "")) {
        platform::sys::ShowMessage("Service \"" + name + "\" is not installed", true);
        return 1;
    }
    // A service that is already stopped just needs starting.
    if (qz::TServiceUtils::ServiceGetStatus(name, "") != 1 && !qz::TServiceUtils::ServiceStop(name, "")) {
        platform::sys::ShowMessage("Service \"" + name + "\" did not stop", true);
        return 1;
    }
    if (!qz::TServiceUtils::ServiceStart(name, "")) {
        platform::sys::ShowMessage("Service \"" + name + "\" did not start", true);
        return 1;
    }
    return 0;
}
