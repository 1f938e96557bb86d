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
    // Starts the program on the session's interactive desktop under a copy of
    // its logon process's token, with UI access. Only the system's own
    // winlogon.exe running as the system account counts (the first found);
    // false when the session has none or the start failed.
    static bool StartApplication(uint32_t SessionId, const std::string& AppPath, const std::string& CommandLine);
    // Ends the agent's own session programs (from its program folder) found in the list.
    static void StopApplication(const TProcessList& processes);
    // At the agent's stop, on Windows 8 and later only: StopApplication over a
    // fresh snapshot, with the time it took logged. False when it didn't run
    // (an earlier Windows, or a version that can't be read).
    static bool StopUI();
    // The session programs that StopApplication ends, by file name.
    static constexpr const char* MessengerExe = "QZMessenger.exe";
    static constexpr const char* NotifierExe = "DOZudezoz.exe";
    // Pulsed (with the session id after it) once the countdown display has
    // had its time to start, for whoever waits on it.
    static constexpr const char* NotifierEventPrefix = "Global\\{726AF62D-BA49-4489-BF4F-6986435FCF9C}";
    // Starts the countdown display of SessionLength - Delay seconds in the
    // session, on a thread of its own, unless "DisableSLNotifier" is "1".
    static void StartSLNotifier(uint32_t SessionLength, uint32_t Delay, uint32_t SessionId);
    // That thread's work: as the user of the session's shell, after Delay seconds.
    static void RunSLNotifier(uint32_t SessionLength, uint32_t Delay, uint32_t SessionId);
    // Cuts the waits of display starts short and joins them; for good (the service stops).
    static void StopSLNotifiers();
};

}  // namespace qz
