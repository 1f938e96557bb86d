#include "platform/Processes.h"
#include "platform/fake/FakeWorld.h"

namespace platform::sys {

bool StartHidden(const std::string& commandLine) {
    fake::Locked()->startedProcesses.push_back(commandLine);
    return true;
}

}  // namespace platform::sys
