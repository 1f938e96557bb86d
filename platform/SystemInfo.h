#pragma once
// Facts about the running program and the machine. A fact the system can't
// tell reads as empty (or nullopt); only GetOsVersion raises SystemError.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform::sys {

// The program's arguments (without the program itself) as UTF-8.
std::vector<std::string> CommandLineArgs(int argc, char** argv);
std::string ModulePath();              // full path of the running program
std::string ComputerNetName();         // NetBIOS name; empty when unknown
std::string SystemDir();
std::string WindowsDir();
std::string CommonAppDataDir();        // empty when the system can't tell
uint32_t CurrentProcessId();
// A raw-data resource of the running program by name; nullopt when it has none.
std::optional<std::string> ProgramRcData(const std::string& name);

// Product types of the version record.
constexpr uint8_t ProductWorkstation = 1;
constexpr uint8_t ProductDomainController = 2;
constexpr uint8_t ProductServer = 3;
struct OsVersion {
    uint32_t major = 0, minor = 0, build = 0;
    uint8_t productType = ProductWorkstation;
    uint16_t servicePackMajor = 0;
};
OsVersion GetOsVersion();
// Native processor architecture code, or nullopt when it can't be asked.
constexpr uint16_t ProcessorArchitectureAmd64 = 9;
std::optional<uint16_t> NativeProcessorArchitecture();

}  // namespace platform::sys
