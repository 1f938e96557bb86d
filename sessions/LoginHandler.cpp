#include "sessions/LoginHandler.h"

#include "common/Logger.h"
#include "service/MainService.h"

namespace qz {

void TLoginHandler::LoginUser(const std::string& username, bool isAdmin, const std::string& /*hostname*/) {
    TLogger::Finest("Login handler login: " + username + " isadmin " + (isAdmin ? "True" : "False"));
    TMainService::Instance()->PulseEvent();
}

void TLoginHandler::LogoutUser(const std::string& username, uint32_t /*sessionId*/) {
    TLogger::Fine("Login handler logout - " + username);
    if (username.empty()) {
        TLogger::Fine("Doubled logout? Doing nothing");
        return;
    }
    TMainService::Instance()->PulseEvent();
}

}  // namespace qz
