#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

namespace qz {

class TGuardEventsInfo;

// The custom authorization library's switches. Only one is asked: whether a
// local administrator at the console unlocks the station at start.
class AuthDllFunctions {
public:
    static constexpr const char* LibraryName = "Authorize.dll";
    // False when the library or its entry point is missing. The library is
    // taken from the agent's program folder only.
    static bool LocalAdminAutoUnlockScreen(const std::string& programFolder);
};

// Lab users who log on to the guard server's accounts instead of Windows:
// their logons and logoffs go to the journal, the registry and the event log.
class TCustomLoginProcessor {
public:
    static constexpr uint32_t EventLoggedOn = 0x2000007B;
    static constexpr uint32_t EventLoggedOut = 0x2000007C;
    static constexpr const char* RegistryPath = "Software\\Korvane Guard";

    struct Deps {
        TGuardEventsInfo* GuardEvents = nullptr;
        std::function<void()> Wake;  // the heartbeat reports at once
        // Writes one information event of the agent's source; unset: none written.
        std::function<void(uint32_t id, const std::string& text)> ReportEvent;
    };
    explicit TCustomLoginProcessor(Deps deps) : FDeps(std::move(deps)) {}

    void LoginUser(const std::string& UserName, const std::string& FullName);
    void LoginDomainUser(const std::string& UserName, const std::string& Domain, bool IsAdmin);
    void LogoutUser();
    std::string CurrentUser() const;

private:
    void Change(const std::string& newUser, bool isAdmin, const std::string& fullName);
    Deps FDeps;
    // Used from the main thread and from command requests at once.
    mutable std::mutex FLock;
    std::string _currentUser;
};

}  // namespace qz
