#pragma once
#include <cstdint>
#include <string>

namespace qz {

// Turns logons and logoffs into reports for the guard server.
class TLoginHandler {
public:
    void LoginUser(const std::string& username, bool isAdmin, const std::string& hostname);
    void LogoutUser(const std::string& username, uint32_t sessionId);
};

}  // namespace qz
