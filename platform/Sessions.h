#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Security.h"

// Terminal-services sessions, bound at run time. Queries answer nullopt when
// they fail; only QueryUserToken raises SystemError.
namespace platform::wts {

// Session-change events a service receives.
constexpr uint32_t ConsoleConnect = 1;
constexpr uint32_t ConsoleDisconnect = 2;
constexpr uint32_t RemoteConnect = 3;
constexpr uint32_t RemoteDisconnect = 4;
constexpr uint32_t SessionLogon = 5;
constexpr uint32_t SessionLogoff = 6;
constexpr uint32_t SessionLock = 7;
constexpr uint32_t SessionUnlock = 8;
constexpr uint32_t SessionTerminate = 11;

constexpr uint32_t StateActive = 0;

struct SessionEntry {
    uint32_t id = 0;
    std::string stationName;
    uint32_t state = StateActive;
};

// nullopt when the enumeration fails.
std::optional<std::vector<SessionEntry>> EnumerateSessions();
// Information classes of the session query.
constexpr uint32_t WTSUserName = 5;
constexpr uint32_t WTSDomainName = 7;
constexpr uint32_t WTSClientName = 10;
constexpr uint32_t WTSClientProtocolType = 16;
constexpr uint32_t ProtocolRdp = 2;
// nullopt when the query fails.
std::optional<std::string> QuerySessionString(uint32_t sessionId, uint32_t infoClass);
// The client protocol of a session (0 console, 2 remote desktop); nullopt when the query fails.
std::optional<uint16_t> QueryClientProtocolType(uint32_t sessionId);
// The window-station name from the session's information record; nullopt when the query fails.
std::optional<std::string> QueryWinStationName(uint32_t sessionId);
// Asks Windows to log the session off without waiting; false when refused.
bool LogoffSession(uint32_t sessionId);
// Message-box style: exclamation icon and an OK button.
constexpr uint32_t MessageStyleExclamationOk = 48;
// Puts a message box on the session's desktop without waiting for an answer;
// false when the system refused.
bool SendSessionMessage(uint32_t sessionId, const std::string& title, const std::string& text, uint32_t style);

struct ProcessEntry {
    uint32_t sessionId = 0;
    uint32_t pid = 0;
    std::string name;  // image file name
};
// Processes of the local server with their sessions; nullopt when the enumeration fails.
std::optional<std::vector<ProcessEntry>> EnumerateProcesses();

// Raises SystemError when there is no token for the session.
sec::TokenHandle QueryUserToken(uint32_t sessionId);

}  // namespace platform::wts
