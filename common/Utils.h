#pragma once
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "platform/Registry.h"

namespace qz {

// The agent's key; both programs are 32-bit, so it lives in the 32-bit view.
platform::reg::Key AgentKey();

// The common application-data folder + "\Korvane Inc\Tallisto Client\".
std::string GetAgentDataFolder();

// What SecureAgentFolders achieved: whether files in the data folder and in
// "Update" may be trusted, and a line for the log about each thing that failed.
struct TSecuredFolders {
    bool Data = false;    // guard.ini, guard.data, config.ini
    bool Update = false;  // the update markers
    std::vector<std::string> Problems;
};

// Gives the agent's folders their protected access lists and owner, made
// when missing: the company folder (users may read it) and the data folder
// and "Logs" for SYSTEM and the administrators only; "Update" likewise and
// "Banners", which session programs show, readable by the users too, when
// they exist. It enables the privileges to take ownership and restore first,
// goes on past a part that fails, removes links planted in their place, and
// moves a folder that still can't be secured aside (kept for the
// administrator) to make a new one. Raises nothing.
TSecuredFolders SecureAgentFolders();

// Paths are kept in the Windows form; this turns one into a file-system path
// (UTF-8 aware, and with "/" separators where the host uses them).
std::filesystem::path ToFsPath(const std::string& path);
// The folder part of a path, with its trailing separator.
std::string ExtractFilePath(const std::string& path);

class TUtils {
public:
    // Raises when the key or value is missing or is not an integer.
    static int32_t ReadIntegerRegistryKey(const std::string& name);
    // Empty when the key or value is missing, or holds something other than text.
    static std::string ReadRegistryKey(const std::string& name);
    static void WriteRegistryKey(const std::string& name, const std::string& value);
    static void WriteIntegerRegistryKey(const std::string& name, int32_t value);
    // An 8-byte date-time value; nullopt when missing or of another size.
    static std::optional<double> ReadDateTimeRegistryKey(const std::string& name);
    static void WriteDateTimeRegistryKey(const std::string& name, double value);
    // Opens the key without creating it; false when there was nothing to delete.
    static bool DeleteRegistryValue(const std::string& name);

    // Drops control characters other than tab, line feed and carriage return.
    static std::string FilterString(const std::string& str);
    // yyyy-mm-ddThh:nn:ss of the value as given, no zone conversion.
    static std::string formatUTCTime(double dateTime);
};

// Windows version tests over the version read once per process.
bool IsWin8OrNewer();
bool IsWin8Family();

}  // namespace qz
