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

namespace platform::wts {

namespace {
const fake::FakeSession* Find(fake::World& w, uint32_t id) {
    for (auto& s : w.sessions)
        if (s.entry.id == id) return &s;
    return nullptr;
}
}  // namespace

std::optional<uint16_t> QueryClientProtocolType(uint32_t sessionId) {
    Locked w;
    const auto* s = Find(*w, sessionId);
    if (!s) return std::nullopt;
    return s->protocolType.value_or(0);
}

std::optional<std::string> QueryWinStationName(uint32_t sessionId) {
    Locked w;
    const auto* s = Find(*w, sessionId);
    if (!s) return std::nullopt;
    return s->winStationName.value_or(s->entry.stationName);
}

bool LogoffSession(uint32_t sessionId) {
    Locked w;
    if (w->logoffFails || !Find(*w, sessionId)) return false;
    w->loggedOff.push_back(sessionId);
    return true;
}

bool SendSessionMessage(uint32_t sessionId, const std::string& title, const std::string& text, uint32_t style) {
    Locked w;
    if (!Find(*w, sessionId)) return false;
    w->sessionMessages.push_back({sessionId, title, text, style});
    return true;
}

std::optional<std::vector<ProcessEntry>> EnumerateProcesses() {
    Locked w;
    if (w->enumerateProcessesFails) return std::nullopt;
    std::vector<ProcessEntry> out;
    for (const auto& p : w->processes) {
        const auto slash = p.path.find_last_of("\\/");
        out.push_back({p.sessionId, p.pid, slash == std::string::npos ? p.path : p.path.substr(slash + 1)});
    }
    return out;
}

}  // namespace platform::wts
