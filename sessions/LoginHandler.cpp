#include "sessions/LoginHandler.h"

#include "common/Event.h"
#include "common/Logger.h"
#include "common/Text.h"
#include "protocol/GuardEventsInfo.h"
#include "sessions/Locker.h"

namespace qz {

void TLoginHandler::PulseNews() {
    if (FDeps.News) FDeps.News->Pulse();
}

void TLoginHandler::LoginUser(const std::string& username, bool isAdmin, const std::string& hostname) {
    TLogger::Finest("Login handler login: " + username + " isadmin " + BoolTitleText(isAdmin));
    if (FDeps.Locker) FDeps.Locker->SetInteractiveUserPresent(true);
    if (FDeps.GuardEvents) FDeps.GuardEvents->UserChangedWithHostname("", username, isAdmin, hostname);
    PulseNews();
}

void TLoginHandler::LogoutUser(const std::string& username, uint32_t /*sessionId*/) {
    TLogger::Fine("Login handler logout - " + username);
    if (username.empty()) {
        TLogger::Fine("Doubled logout? Doing nothing");
        return;
    }
    // Sessions of multi-session hosts are tracked by the session list.
    if (FDeps.GuardEvents) FDeps.GuardEvents->UserChanged(FDeps.GuardEvents->UserName(), "", false, "");
    PulseNews();
}

}  // namespace qz
