#include "sessions/UserCache.h"

#include "common/Text.h"
#include "platform/Accounts.h"

namespace qz {
namespace {

// A name without domain is known by the bare account name.
std::string DropLeadingSeparator(std::string s) {
    if (!s.empty() && s[0] == '\\') s.erase(0, 1);
    return s;
}

}  // namespace

TUserCache::TUserCache(bool multiSession) : _multiSession(multiSession) {}

std::string TUserCache::KeyOf(const TUserRecord& r) const {
    std::string key = DropLeadingSeparator(AsciiLower(r.Domain + "\\" + r.Name));
    if (_multiSession) key += "\\" + AsciiLower(r.Hostname);
    return key;
}

int32_t TUserCache::FindLocked(const std::string& lowerName) const {
    for (size_t i = 0; i < _list.size(); ++i)
        if (KeyOf(_list[i]) == lowerName) return static_cast<int32_t>(i);
    return -1;
}

int32_t TUserCache::Add(const std::string& UserName, const std::string& DomainName, bool IsAdmin,
                        const std::string& Hostname) {
    std::string lookup = DomainName + "\\" + UserName;
    if (_multiSession) lookup += "\\" + Hostname;
    // Looked up in the form the records are keyed by, so a user without a
    // domain is found again instead of getting a new id at every logon.
    lookup = DropLeadingSeparator(AsciiLower(lookup));
    {
        std::lock_guard<std::mutex> lock(_cs);
        const int32_t known = FindLocked(lookup);
        if (known >= 0) return known;
    }
    // The account database may be slow: asked outside the lock, then checked again.
    TUserRecord r;
    r.Name = UserName;
    r.Domain = DomainName;
    r.IsAdmin = IsAdmin;
    r.FullName = GetFullUserName(UserName);
    r.Hostname = Hostname;
    std::lock_guard<std::mutex> lock(_cs);
    const int32_t known = FindLocked(lookup);
    if (known >= 0) return known;
    _list.push_back(std::move(r));
    return static_cast<int32_t>(_list.size() - 1);
}

int32_t TUserCache::GetUserIdByName(const std::string& UserName) {
    std::lock_guard<std::mutex> lock(_cs);
    // Keyed as the records are, so a user without domain ("\\name") is found.
    return FindLocked(DropLeadingSeparator(AsciiLower(UserName)));
}

std::optional<TUserRecord> TUserCache::GetUserById(int32_t AUserId) {
    std::lock_guard<std::mutex> lock(_cs);
    if (AUserId < 0 || static_cast<size_t>(AUserId) >= _list.size()) return std::nullopt;
    return _list[static_cast<size_t>(AUserId)];
}

void TUserCache::SaveUsers(pugi::xml_node ANode) {
    std::lock_guard<std::mutex> lock(_cs);
    if (_list.empty()) return;
    pugi::xml_node users = ANode.append_child("users");
    for (size_t i = 0; i < _list.size(); ++i) {
        const TUserRecord& r = _list[i];
        pugi::xml_node user = users.append_child("user");
        user.append_attribute("id") = std::to_string(i).c_str();
        user.append_child("user_name").text() = r.Name.c_str();
        user.append_child("full_name").text() = r.FullName.c_str();
        user.append_child("domain_name").text() = r.Domain.c_str();
        user.append_child("isadmin").text() = r.IsAdmin ? "true" : "false";
        if (_multiSession) user.append_child("hostname").text() = r.Hostname.c_str();
    }
}

void TUserCache::Clear() {
    std::lock_guard<std::mutex> lock(_cs);
    _list.clear();
}

int32_t TUserCache::Count() {
    std::lock_guard<std::mutex> lock(_cs);
    return static_cast<int32_t>(_list.size());
}

void TUserCache::SeparateDomainAndUser(const std::string& str, std::string& username, std::string& domain) {
    const auto pos = str.find_first_of("/\\");
    std::string u = pos == std::string::npos ? str : str.substr(pos + 1);
    std::string d = pos == std::string::npos ? std::string() : str.substr(0, pos);
    username = std::move(u);
    domain = std::move(d);
}

std::string TUserCache::GetFullUserName(const std::string& UserName) {
    return platform::acct::LocalUserFullName(UserName).value_or(std::string());
}

}  // namespace qz
