#pragma once
#include <cstdint>
#include <string>

#include "monitor/Beholder.h"

namespace qz {

// Logging sessions off, restarting and shutting the machine down.
class TPowerUtils {
public:
    static constexpr uint32_t NoSession = 0xFFFFFFFF;
    // The last active session in enumeration order, or NoSession.
    static uint32_t GetActiveSessionId();
    // Asks Windows to log the session off without waiting; true when accepted.
    static bool LogOffComputer(uint32_t SessionId);
    // Logs the active console session off; false when there is none.
    static bool LogOffComputer();
    static bool RestartComputer();
    static bool ShutdownComputer();

private:
    static bool ExitWindows(uint32_t flags);
};

// Programs the agent starts in users' sessions, and their end.
class TApplicationUtils {
public:
    // Starts the program once per logon process of the session; the result of
    // the last start, false when the session has none.
    static bool StartApplication(uint32_t SessionId, const std::string& AppPath, const std::string& CommandLine);
    // Ends the agent's own session programs (from its program folder) found in the list.
    static void StopApplication(const TProcessList& processes);
    // The session programs that StopApplication ends, by file name.
    static constexpr const char* MessengerExe = "QZMessenger.exe";
    static constexpr const char* NotifierExe = "DOZudezoz.exe";
};

}  // namespace qz
