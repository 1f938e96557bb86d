#include "sessions/LoginHandler.h"

#include "common/Logger.h"
#include "protocol/GuardEventsInfo.h"
#include "service/MainService.h"
#include "sessions/Locker.h"

namespace qz {

void TLoginHandler::LoginUser(const std::string& username, bool isAdmin, const std::string& hostname) {
    TLogger::Finest("Login handler login: " + username + " isadmin " + (isAdmin ? "True" : "False"));
    TMainService* ms = TMainService::Instance();
    if (ms->Locker()) ms->Locker()->SetInteractiveUserPresent(true);
    if (ms->GuardEvents()) ms->GuardEvents()->UserChangedWithHostname("", username, isAdmin, hostname);
    ms->PulseEvent();
}

void TLoginHandler::LogoutUser(const std::string& username, uint32_t /*sessionId*/) {
    TLogger::Fine("Login handler logout - " + username);
    if (username.empty()) {
        TLogger::Fine("Doubled logout? Doing nothing");
        return;
    }
    TMainService* ms = TMainService::Instance();
    // Sessions of multi-session hosts are tracked by the session list.
    if (ms->GuardEvents()) ms->GuardEvents()->UserChanged(ms->GuardEvents()->UserName(), "", false, "");
    ms->PulseEvent();
}

}  // namespace qz
