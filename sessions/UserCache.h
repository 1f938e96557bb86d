#pragma once
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <pugixml.hpp>

namespace qz {

// One user seen since the agent started.
struct TUserRecord {
    std::string Domain;
    std::string FullName;  // from the local account database, or empty
    bool IsAdmin = false;  // as given when the record was made
    std::string Name;      // account name without domain
    std::string Hostname;  // client machine on multi-session hosts, else empty

    std::string GetSamCompatibleUserName() const { return Domain + "\\" + Name; }
};

// Every user seen since start, each with a small id that events refer to: the
// record's position. Records are only appended, so an id stays valid while
// the agent runs; they are not kept across restarts.
class TUserCache {
public:
    // Multi-session hosts know a user per client machine.
    explicit TUserCache(bool multiSession);
    TUserCache(const TUserCache&) = delete;
    TUserCache& operator=(const TUserCache&) = delete;

    // The user's id; a new record when the user isn't known yet. A known user
    // keeps its record as first made.
    int32_t Add(const std::string& UserName, const std::string& DomainName, bool IsAdmin, const std::string& Hostname);
    // Id of the first record known under the name (domain\user, plus
    // \hostname on multi-session hosts; letter case aside), or -1.
    int32_t GetUserIdByName(const std::string& UserName);
    // A copy, so no caller holds a record while another thread appends.
    std::optional<TUserRecord> GetUserById(int32_t AUserId);
    // Appends "users" with one "user" per record; nothing for an empty cache.
    void SaveUsers(pugi::xml_node ANode);
    void Clear();
    int32_t Count();
    bool MultiSession() const { return _multiSession; }

    // Splits at the first "/" or "\"; without one the domain is empty.
    static void SeparateDomainAndUser(const std::string& str, std::string& username, std::string& domain);
    // Full name of a local account; empty when it can't be read.
    static std::string GetFullUserName(const std::string& UserName);

private:
    std::string KeyOf(const TUserRecord& r) const;
    int32_t FindLocked(const std::string& lowerName) const;

    const bool _multiSession;
    std::mutex _cs;
    std::vector<TUserRecord> _list;
};

}  // namespace qz
