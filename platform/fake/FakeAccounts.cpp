#include <algorithm>
#include <cctype>

#include "platform/Accounts.h"
#include "platform/fake/FakeWorld.h"

namespace platform::acct {

std::optional<std::string> LocalUserFullName(const std::string& userName) {
    std::string key = userName;
    std::transform(key.begin(), key.end(), key.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    auto& w = fake::W();
    std::lock_guard<std::recursive_mutex> lock(w.lock);
    const auto it = w.localFullNames.find(key);
    if (it == w.localFullNames.end()) return std::nullopt;
    return it->second;
}

}  // namespace platform::acct
