#pragma once
#include <optional>
#include <string>

// The local computer's account database. Nothing here raises.
namespace platform::acct {

// Full name of a local account (level-2 account information); nullopt when
// the account isn't local, doesn't exist or can't be read.
std::optional<std::string> LocalUserFullName(const std::string& userName);

}  // namespace platform::acct
