#pragma once
#include <cstdint>
#include <string>

// Tokens and security identifiers. Token calls answer 0 or false when they
// fail; AccountSidString raises SystemError for an unknown account.
namespace platform::sec {

using TokenHandle = uintptr_t;
using ProcessHandle = uintptr_t;

// Whether the token's group list holds the built-in Administrators group
// (membership, not enablement). groupBufferLimit caps the group list read
// (0 = size it from the token); a list that doesn't fit counts as no.
bool TokenIsAdmin(TokenHandle token, uint32_t groupBufferLimit);
void CloseToken(TokenHandle token);
// 0 when the token can't be opened.
TokenHandle OpenProcessTokenForQuery(ProcessHandle process);
// The SID of the token's user as text ("S-1-5-18"); empty when unreadable.
std::string TokenUserSid(TokenHandle token);
constexpr const char* LocalSystemSid = "S-1-5-18";
// The calling thread's token, or the process token when the thread has none; 0 on failure.
TokenHandle OpenCurrentTokenForQuery();

// Raises SystemError when the account is unknown; empty when the conversion fails.
std::string AccountSidString(const std::string& accountName);

}  // namespace platform::sec
