#include "sessions/LoginHandler.h"

#include "common/Event.h"
#include "common/Logger.h"
#include "common/Text.h"
#include "protocol/GuardEventsInfo.h"
#include "sessions/Locker.h"
#include "sessions/UserSessions.h"

namespace qz {

void TLoginHandler::PulseNews() {
    if (FDeps.News) FDeps.News->Pulse();
}

void TLoginHandler::LoginUser(const std::string& username, bool isAdmin, const std::string& hostname) {
    TLogger::Finest("Login handler login: " + username + " isadmin " + BoolTitleText(isAdmin));
    if (FDeps.Locker) FDeps.Locker->SetInteractiveUserPresent(true);
    if (FDeps.GuardEvents) FDeps.GuardEvents->UserChangedWithHostname("", username, isAdmin, hostname);
    PulseNews();
    if (FCustomLoginHandler) FCustomLoginHandler->LoginUser(username, isAdmin);
}

void TLoginHandler::LogoutUser(const std::string& username, uint32_t sessionId) {
    TLogger::Fine("Login handler logout - " + username);
    if (username.empty()) {
        TLogger::Fine("Doubled logout? Doing nothing");
        return;
    }
    // Held until the end: the session is freed only after the hook has run.
    TUserSessionPtr session;
    if (FDeps.Sessions) {
        session = FDeps.Sessions->GetUserSessionBySessionId(sessionId);
        if (!session) {
            // Nothing to take the user and host from; the journal's current
            // user may be another session's, so nothing is recorded.
            TLogger::Fine("Session not found");
            return;
        }
        if (FDeps.GuardEvents) {
            if (!session->FHostname.empty())
                FDeps.GuardEvents->UserChangedWithHostname(session->FUsername, "", false, session->FHostname);
            else
                FDeps.GuardEvents->UserChanged(session->FUsername, "", false, "");
        }
        FDeps.Sessions->RemoveUserSession(session);
    } else if (FDeps.GuardEvents) {
        FDeps.GuardEvents->UserChanged(FDeps.GuardEvents->UserName(), "", false, "");
    }
    PulseNews();
    if (FCustomLoginHandler) FCustomLoginHandler->LogoutUser(username);
}

}  // namespace qz
