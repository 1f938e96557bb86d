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

void CloseToken(TokenHandle token) { Locked()->tokens.erase(token); }

TokenHandle OpenProcessTokenForQuery(ProcessHandle) { return 0; }
TokenHandle OpenCurrentTokenForQuery() { return 0; }

std::string AccountSidString(const std::string& accountName) {
    if (AsciiLower(accountName) == "administrators") return "S-1-5-32-544";
    ThrowSystemError(1332);
}

}  // namespace platform::sec
