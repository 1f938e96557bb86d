#include "platform/SystemInfo.h"
#include "platform/fake/FakeWorld.h"

namespace platform::sys {

using fake::Locked;

std::vector<std::string> CommandLineArgs(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    return args;
}

std::string ModulePath() { return Locked()->modulePath; }
std::string ComputerNetName() { return Locked()->computerName; }
std::string SystemDir() { return Locked()->systemDir; }
std::string WindowsDir() { return "C:\\Windows"; }
std::string CommonAppDataDir() { return Locked()->commonAppData; }
uint32_t CurrentProcessId() { return 4242; }
std::optional<std::string> ProgramRcData(const std::string& name) {
    Locked w;
    auto it = w->rcData.find(name);
    if (it == w->rcData.end()) return std::nullopt;
    return it->second;
}
OsVersion GetOsVersion() { return Locked()->version; }
std::optional<uint16_t> NativeProcessorArchitecture() { return Locked()->nativeArch; }

}  // namespace platform::sys
