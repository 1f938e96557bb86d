#include "platform/Errors.h"
#include "platform/Security.h"
#include "platform/fake/FakeWorld.h"

namespace platform::sec {

using fake::Locked;

bool TokenIsAdmin(TokenHandle token, uint32_t) {
    Locked w;
    auto it = w->tokens.find(token);
    return it != w->tokens.end() && it->second;
}

void CloseToken(TokenHandle token) {
    Locked w;
    w->tokens.erase(token);
    w->tokenUsers.erase(token);
    w->tokenSids.erase(token);
}

// A process opened through the fake processes facility has the token its record stages.
TokenHandle OpenProcessTokenForQuery(ProcessHandle process) {
    Locked w;
    auto h = w->processHandles.find(process);
    if (h == w->processHandles.end()) return 0;
    for (const auto& p : w->processes) {
        if (p.pid != h->second) continue;
        if (p.tokenUser.empty() && p.tokenSid.empty()) return 0;
        const uintptr_t token = w->nextHandle++;
        w->tokens[token] = p.tokenIsAdmin;
        w->tokenUsers[token] = p.tokenUser;
        w->tokenSids[token] = p.tokenSid;
        return token;
    }
    return 0;
}
std::string TokenUserSid(TokenHandle token) {
    Locked w;
    auto it = w->tokenSids.find(token);
    return it == w->tokenSids.end() ? std::string() : it->second;
}

TokenHandle OpenCurrentTokenForQuery() {
    Locked w;
    if (!w->currentTokenIsAdmin) return 0;
    const uintptr_t token = w->nextHandle++;
    w->tokens[token] = *w->currentTokenIsAdmin;
    return token;
}

std::string AccountSidString(const std::string& accountName) {
    if (AsciiLower(accountName) == "administrators") return "S-1-5-32-544";
    Locked w;
    auto it = w->accountSids.find(AsciiLower(accountName));
    if (it != w->accountSids.end()) return it->second;
    ThrowSystemError(1332);
}

}  // namespace platform::sec
