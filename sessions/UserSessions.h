#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "monitor/LicenseManagerData.h"
#include "sessions/Locker.h"
#include "sessions/SessionLimits.h"
#include "sessions/TSUtils.h"

namespace qz {

class TGuardEventsInfo;

// One logged-on user session of a multi-session host.
class TUserSession {
public:
    // The metering lists start as copies of the application cache.
    TUserSession(uint32_t SessionId, const std::string& Username, const std::string& Hostname, const std::string& Sid,
                 const TProcessTemplateList& appCache);
    TUserSession(const TUserSession&) = delete;
    TUserSession& operator=(const TUserSession&) = delete;

    std::string FHostname;  // client machine; empty when none was found
    int32_t FPort = -1;
    uint32_t FSessionId;
    std::string FSid;
    std::string FUsername;  // domain\user
    std::unique_ptr<TLicenseManagerData> FLMData;
    std::unique_ptr<TLocker> FLocker;
    std::unique_ptr<TSessionLimitManager> FSessionLimitManager;
    std::unique_ptr<TMessageLogoutManager> FMessageLogoutManager;

    // user\host: how the user cache and the journal know this session's user.
    std::string ScopeText() const { return FUsername + "\\" + FHostname; }
    std::string ToString() const;
    // A "tc" element with the running applications; nothing without a host name.
    void SaveToXML(pugi::xml_node XMLNode);
    // An "app_stop" for every running application; the running list stays.
    void StopApplications(TGuardEventsInfo& guardEvents);
};

// Lookups hand out shared references: a session removed meanwhile stays
// valid for whoever still holds it.
using TUserSessionPtr = std::shared_ptr<TUserSession>;

// The user sessions of a multi-session host, in the order they logged on.
class TUserSessionsList {
public:
    // appCache: the application cache that a new session's metering lists copy.
    TUserSessionsList(TStationType AStationType, std::function<TProcessTemplateList()> appCache);
    TUserSessionsList(const TUserSessionsList&) = delete;
    TUserSessionsList& operator=(const TUserSessionsList&) = delete;

    // Finds the user's identifier and client host name (outside the lock: on
    // virtual-desktop hosts that can take seconds), then appends.
    TUserSessionPtr AddUserSession(uint32_t SessionId, const std::string& Username);
    void RemoveUserSession(const TUserSessionPtr& UserSession);
    TUserSessionPtr GetUserSessionBySessionId(uint32_t SessionId);
    // Host names compare without ASCII case; "" finds the first session without one.
    TUserSessionPtr GetUserSessionByHostname(const std::string& Hostname);
    void GetSessionIdsList(std::vector<uint32_t>& Sessions);
    void GetHostnameList(std::vector<std::string>* SL);
    // "tcs" with one "tc" per session that has a host name.
    void SaveToXML(pugi::xml_node XMLNode);
    // Whether a session's locker waits for an administrator's relock (the first one is logged).
    bool AnyNeedsRelock();
    // Inbound rows: per-session metering lists and lock states.
    void ApplyAppCtrlStates(const pugi::xml_node& node, const TProcessTemplateList& appCache);
    void ApplyLockStates(const pugi::xml_node& node);

    TStationType StationType() const { return FStationType; }
    // The client's host name as the station type finds it; empty when none.
    static std::string FindHostname(TStationType type, uint32_t sessionId, const std::string& sid);
    static std::string StationTypeName(TStationType type);
    // Attempts and their spacing on virtual-desktop hosts.
    static constexpr int HostnameAttempts = 22;
    static constexpr uint32_t HostnameAttemptDelayMs = 250;

private:
    std::mutex FCS;
    std::vector<TUserSessionPtr> FList;
    const TStationType FStationType;
    std::function<TProcessTemplateList()> FAppCache;
};

}  // namespace qz
