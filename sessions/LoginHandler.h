#pragma once
#include <cstdint>
#include <memory>
#include <string>

namespace qz {

class TEvent;
class TGuardEventsInfo;
class TLocker;
class TUserSessionsList;

// A hook told of logons and logoffs after the handler's own work.
class TCustomLoginHandler {
public:
    virtual ~TCustomLoginHandler() = default;
    virtual void LoginUser(const std::string& Username, bool IsAdmin) = 0;
    virtual void LogoutUser(const std::string& Username) = 0;
};

// Turns logons and logoffs into reports for the guard server.
class TLoginHandler {
public:
    // What the handler reports to; the owner keeps them alive longer than the handler.
    struct Deps {
        TLocker* Locker = nullptr;
        TGuardEventsInfo* GuardEvents = nullptr;
        TEvent* News = nullptr;                 // pulsed so the heartbeat reports at once
        TUserSessionsList* Sessions = nullptr;  // multi-session hosts only
    };
    explicit TLoginHandler(Deps deps) : FDeps(deps) {}

    // username is domain\user; hostname is empty on single-user stations.
    void LoginUser(const std::string& username, bool isAdmin, const std::string& hostname);
    // A logoff or disconnect. On a multi-session host the session's own user is
    // reported and the session leaves the list.
    void LogoutUser(const std::string& username, uint32_t sessionId);
    // Installs the hook; the handler owns it.
    void SetCustomLoginHandler(std::unique_ptr<TCustomLoginHandler> handler) {
        FCustomLoginHandler = std::move(handler);
    }

private:
    void PulseNews();
    Deps FDeps;
    std::unique_ptr<TCustomLoginHandler> FCustomLoginHandler;
};

}  // namespace qz
