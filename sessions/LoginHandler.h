#pragma once
#include <cstdint>
#include <string>

namespace qz {

class TEvent;
class TGuardEventsInfo;
class TLocker;

// Turns logons and logoffs into reports for the guard server.
class TLoginHandler {
public:
    // What the handler reports to; the owner keeps them alive longer than the handler.
    struct Deps {
        TLocker* Locker = nullptr;
        TGuardEventsInfo* GuardEvents = nullptr;
        TEvent* News = nullptr;  // pulsed so the heartbeat reports at once
    };
    explicit TLoginHandler(Deps deps) : FDeps(deps) {}

    void LoginUser(const std::string& username, bool isAdmin, const std::string& hostname);
    void LogoutUser(const std::string& username, uint32_t sessionId);

private:
    void PulseNews();
    Deps FDeps;
};

}  // namespace qz
