#pragma once
#include <cstdint>
#include <string>

#include "platform/Security.h"

namespace qz {

class TWinUtils {
public:
    static std::string GetComputerNetName();
    static std::string GetSystemDir();
    static std::string GetWinDir();
    // Membership of the built-in Administrators group in the process's token.
    static bool IsAdmin(platform::sec::ProcessHandle shellHandle);
    // The calling thread's token, or the process token when the thread has none.
    static bool IsAdmin();
    // Closes the token, whatever the outcome.
    static bool IsAdminByToken(platform::sec::TokenHandle token);
    // Raises for an unknown account; empty when the conversion fails.
    static std::string GetUserSIDStr(const std::string& systemName, const std::string& accountName);

    static constexpr uint32_t GroupBufferSize = 1024;
};

// Start, stop and status of a Windows service. These never raise.
class TServiceUtils {
public:
    // Neither wait runs longer than this, so a hung service can't hang the caller.
    static constexpr uint64_t OverallLimitMs = 60000;

    static bool IsServiceInstalled(const std::string& sServiceName, const std::string& sMachine);
    // Stopped when the service can't be opened or queried.
    static uint32_t ServiceGetStatus(const std::string& sServiceName, const std::string& sMachine);
    static bool ServiceStart(const std::string& aServiceName, const std::string& aMachine);
    static bool ServiceStop(const std::string& aServiceName, const std::string& aMachine);
};

}  // namespace qz
