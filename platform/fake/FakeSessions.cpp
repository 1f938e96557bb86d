#include "platform/Errors.h"
#include "platform/Sessions.h"
#include "platform/fake/FakeWorld.h"

namespace platform::wts {

using fake::Locked;

std::optional<std::vector<SessionEntry>> EnumerateSessions() {
    Locked w;
    if (w->enumerateFails) return std::nullopt;
    std::vector<SessionEntry> out;
    for (auto& s : w->sessions) out.push_back(s.entry);
    return out;
}

std::optional<std::string> QuerySessionString(uint32_t sessionId, uint32_t infoClass) {
    Locked w;
    for (auto& s : w->sessions) {
        if (s.entry.id != sessionId) continue;
        if (infoClass == WTSUserName) return s.user;
        if (infoClass == WTSDomainName) return s.domain;
        if (infoClass == WTSClientName) return s.client;
        return std::nullopt;
    }
    return std::nullopt;
}

sec::TokenHandle QueryUserToken(uint32_t sessionId) {
    Locked w;
    for (auto& s : w->sessions) {
        if (s.entry.id != sessionId || !s.hasToken) continue;
        const uintptr_t h = w->nextHandle++;
        w->tokens[h] = s.tokenIsAdmin;
        return h;
    }
    ThrowSystemError(1008);
}

}  // namespace platform::wts
