#include "platform/Accounts.h"
#include "platform/fake/FakeWorld.h"

namespace platform::acct {

std::optional<std::string> LocalUserFullName(const std::string& userName) {
    fake::Locked w;
    const auto it = w->localFullNames.find(AsciiLower(userName));
    if (it == w->localFullNames.end()) return std::nullopt;
    return it->second;
}

}  // namespace platform::acct
