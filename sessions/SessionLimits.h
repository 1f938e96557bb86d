#pragma once
#include <cstdint>
#include <string>

namespace qz {

// A session's time limit. The countdown and its notifier join later; a
// session only holds its place until then.
class TSessionLimitManager {};

// Forced logout by message: a placeholder without behaviour.
class TMessageLogoutManager {
public:
    TMessageLogoutManager(std::string hostname, int32_t sessionId)
        : FHostname(std::move(hostname)), FSessionId(sessionId) {}
    const std::string& Hostname() const { return FHostname; }
    int32_t SessionId() const { return FSessionId; }

private:
    std::string FHostname;
    int32_t FSessionId;
};

}  // namespace qz
