#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <pugixml.hpp>

namespace qz {

class TUserCache;

// One journal entry, reported with every heartbeat until acknowledged.
class TGuardEvent {
public:
    virtual ~TGuardEvent() = default;
    // Runs once the server has acknowledged the entry.
    virtual void FinalyzeEvent() {}
    // Appends this entry's "event" element to the journal's "events".
    void SaveToXML(pugi::xml_node events, const std::string& packetVersion) const;

    std::string FEventType;
    std::string FTime;     // local time, yyyy-mm-ddThh:nn:ss
    int32_t FId = 0;       // entry number
    int32_t FUserId = -1;  // user-cache id

protected:
    // The one child of "event" that says what happened.
    virtual void SaveContent(pugi::xml_node event, const std::string& packetVersion) const = 0;
};

class TLogonEvent : public TGuardEvent {
public:
    std::string FDomain;
    std::string FFullName;
    bool FIsAdmin = false;
    std::string FUserName;

protected:
    void SaveContent(pugi::xml_node event, const std::string& packetVersion) const override;
};

class TAppEvent : public TGuardEvent {
public:
    int32_t FProcessId = 0;  // the application's template id
    std::string FDomain;
    std::string FUserName;
    std::string FIsAdmin;    // empty, or a Boolean written out

protected:
    void SaveContent(pugi::xml_node event, const std::string& packetVersion) const override;
};

class TUpdateEvent : public TGuardEvent {
public:
    // Removes the installer and its markers from the update folder, then the
    // folder itself when nothing else is left in it.
    void FinalyzeEvent() override;

    std::string FUpdateError;
    std::string FUpdateFile;
    std::string FUpdateId;
    bool FUpdateState = false;

protected:
    void SaveContent(pugi::xml_node event, const std::string& packetVersion) const override;
};

// The journal of what happened between heartbeats, in memory only, and the
// console's current user. Numbers start at 1 in each run of the agent.
class TGuardEventsInfo {
public:
    // The cache must outlive the journal. multiSession: the station tracks
    // every user session separately.
    TGuardEventsInfo(TUserCache& userCache, bool multiSession);
    ~TGuardEventsInfo();
    TGuardEventsInfo(const TGuardEventsInfo&) = delete;
    TGuardEventsInfo& operator=(const TGuardEventsInfo&) = delete;

    void UserChanged(const std::string& AnOldUserName, const std::string& ANewUserName, bool IsAdmin,
                     const std::string& FullName);
    void UserChangedWithHostname(const std::string& AnOldUserName, const std::string& ANewUserName, bool IsAdmin,
                                 const std::string& Hostname);
    void UserChanged(const std::string& AnOldUserName, const std::string& ANewUserName, bool IsAdmin,
                     const std::string& FullName, const std::string& Hostname);
    // AnEventType is "app_start" or "app_stop"; Hostname is the session's
    // scope text (user\host) on multi-session stations, else ignored.
    void AddAppEvent(const std::string& AnEventType, int32_t AProcessId, const std::string& Hostname);
    void AddUpdateEvent(const std::string& AUpdateId, const std::string& AFileName, bool AUpdateState,
                        const std::string& AUpdateError);

    // Appends "events" with every unacknowledged entry; nothing when empty.
    // packetVersion is the server's protocol version, compared as text.
    void SaveEvents(pugi::xml_node ANode, const std::string& packetVersion);
    // The server has taken every entry up to Number.
    void Receipting(int32_t Number);

    std::string UserName() const;
    std::string HostName() const;
    bool IsAdmin() const;

    // Numbers of the entries still waiting, in order.
    std::vector<int32_t> PendingIds();
    // Tests only: the last number handed out, to reach the end of the range.
    void SeedNumberingForTests(int32_t lastNumber);

private:
    int32_t NextNumber();
    void Append(std::unique_ptr<TGuardEvent> entry);

    TUserCache& _userCache;
    const bool _multiSession;

    std::mutex _lock;  // the list, the numbering and every change
    int32_t _lastId = 0;
    int32_t _nextId = 0;
    std::vector<std::unique_ptr<TGuardEvent>> _list;

    // The current user is read by other threads while it may change; it has
    // its own lock (taken after _lock when both are held).
    mutable std::mutex _userLock;
    bool FIsAdmin = false;
    std::string _currentUser;
    std::string _currentHostname;
};

}  // namespace qz
