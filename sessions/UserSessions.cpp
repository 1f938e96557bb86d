#include "sessions/UserSessions.h"

#include <algorithm>

#include "common/Logger.h"
#include "common/Text.h"
#include "common/WinUtils.h"
#include "platform/AsciiCase.h"
#include "platform/Clock.h"
#include "platform/Registry.h"
#include "platform/Sessions.h"
#include "protocol/GuardEventsInfo.h"
#include "sessions/UserCache.h"

namespace qz {

// ---- TUserSession ----

TUserSession::TUserSession(uint32_t SessionId, const std::string& Username, const std::string& Hostname,
                           const std::string& Sid, const TProcessTemplateList& appCache)
    : FHostname(Hostname), FSessionId(SessionId), FSid(Sid), FUsername(Username) {
    FLMData = std::make_unique<TLicenseManagerData>();
    FLMData->InitFromAppState(appCache);
    FLocker = std::make_unique<TLocker>(Hostname);
    FMessageLogoutManager = std::make_unique<TMessageLogoutManager>(Hostname, static_cast<int32_t>(SessionId));
    FSessionLimitManager = std::make_unique<TSessionLimitManager>();
}

std::string TUserSession::ToString() const {
    return "Username - " + FUsername + ", Sid - " + FSid + ", SessionId - " + std::to_string(FSessionId) +
           ", Hostname - " + FHostname + ", Port - " + std::to_string(FPort);
}

void TUserSession::SaveToXML(pugi::xml_node XMLNode) {
    if (FHostname.empty()) return;
    std::string user, domain;
    TUserCache::SeparateDomainAndUser(FUsername, user, domain);
    pugi::xml_node tc = XMLNode.append_child("tc");
    tc.append_attribute("hostname") = FHostname.c_str();
    tc.append_attribute("username") = user.c_str();
    tc.append_attribute("domain") = domain.c_str();
    tc.append_attribute("session_id") = std::to_string(FSessionId).c_str();
    std::lock_guard<std::mutex> lock(FLMData->FCSRunningApps);
    for (const int32_t id : FLMData->FRunningObservedApps) {
        const std::string text = std::to_string(id);
        pugi::xml_node a = tc.append_child("application_state");
        a.append_attribute("id") = text.c_str();
        a.append_attribute("restrict") = "no";
        a.append_attribute("modifytime") = text.c_str();
    }
}

void TUserSession::StopApplications(TGuardEventsInfo& guardEvents) {
    std::lock_guard<std::mutex> lock(FLMData->FCSRunningApps);
    for (const int32_t id : FLMData->FRunningObservedApps) guardEvents.AddAppEvent("app_stop", id, ScopeText());
}

// ---- TUserSessionsList ----

TUserSessionsList::TUserSessionsList(TStationType AStationType, std::function<TProcessTemplateList()> appCache)
    : FStationType(AStationType), FAppCache(std::move(appCache)) {}

std::string TUserSessionsList::StationTypeName(TStationType type) {
    switch (type) {
        case TStationType::stRegular: return "stRegular";
        case TStationType::stTerminalServer: return "stTerminalServer";
        case TStationType::stCitrixMachine: return "stCitrixMachine";
        case TStationType::stHorizonMachine: return "stHorizonMachine";
    }
    return std::string();
}

namespace {

std::string TerminalServerHostname(uint32_t sessionId) {
    std::string name = platform::wts::QuerySessionString(sessionId, platform::wts::WTSClientName).value_or("");
    if (!name.empty()) return name;
    if (platform::wts::QueryClientProtocolType(sessionId).value_or(0) == platform::wts::ProtocolRdp)
        name = platform::wts::QueryWinStationName(sessionId).value_or("");
    return name;
}

std::optional<std::string> RegistryString(platform::reg::Hive hive, const std::string& path, const std::string& name) {
    try {
        const platform::reg::Key key{hive, path, platform::reg::View::Wow64};
        if (!platform::reg::KeyExists(key)) return std::nullopt;
        const auto v = platform::reg::QueryValue(key, name);
        return v ? v->text : std::string();
    } catch (const std::exception&) {
        return std::nullopt;
    }
}

std::string CitrixAttempt(uint32_t sessionId, const std::string& sid) {
    const std::string path = "SOFTWARE\\Citrix\\ICA\\Session\\" + std::to_string(sessionId) + "\\Connection";
    const auto userSid = RegistryString(platform::reg::Hive::LocalMachine, path, "UserSid");
    if (!userSid || *userSid != sid) return std::string();
    const auto client = RegistryString(platform::reg::Hive::LocalMachine, path, "ClientName");
    if (!client) return std::string();
    TLogger::Fine("ClientName" + *client);
    return *client;
}

std::string HorizonAttempt(uint32_t sessionId, const std::string& sid) {
    const char* const value = "ViewClient_Machine_Name";
    auto name = RegistryString(platform::reg::Hive::Users, sid + "\\Volatile Environment", value);
    if (!name) TLogger::Fine("Can not open volatile environment");
    if (name.value_or("").empty()) {
        name = RegistryString(platform::reg::Hive::Users,
                              sid + "\\Volatile Environment\\" + std::to_string(sessionId), value);
        if (!name) TLogger::Fine("Can not open volatile environment with session id");
    }
    TLogger::Finest("terminal_hostname=" + name.value_or(""));
    return name.value_or("");
}

}  // namespace

std::string TUserSessionsList::FindHostname(TStationType type, uint32_t sessionId, const std::string& sid) {
    switch (type) {
        case TStationType::stRegular: return std::string();
        case TStationType::stTerminalServer: return TerminalServerHostname(sessionId);
        case TStationType::stCitrixMachine:
        case TStationType::stHorizonMachine: break;
    }
    for (int attempt = 1; attempt <= HostnameAttempts; ++attempt) {
        if (attempt > 1) platform::sys::SleepMs(HostnameAttemptDelayMs);
        std::string name;
        if (type == TStationType::stCitrixMachine) {
            TLogger::Fine("Attempt - " + std::to_string(attempt));
            name = CitrixAttempt(sessionId, sid);
        } else {
            name = HorizonAttempt(sessionId, sid);
        }
        if (!name.empty()) return name;
    }
    return std::string();
}

TUserSessionPtr TUserSessionsList::AddUserSession(uint32_t SessionId, const std::string& Username) {
    std::string sid;
    try {
        sid = TWinUtils::GetUserSIDStr("", Username);
    } catch (const std::exception& e) {
        TLogger::Fine("No security identifier for " + Username + ": " + e.what());
    }
    TLogger::Fine("Station type - " + StationTypeName(FStationType));
    const std::string hostname = FindHostname(FStationType, SessionId, sid);
    auto session =
        std::make_shared<TUserSession>(SessionId, Username, hostname, sid, FAppCache ? FAppCache() : TProcessTemplateList{});
    std::lock_guard<std::mutex> lock(FCS);
    FList.push_back(session);
    return session;
}

void TUserSessionsList::RemoveUserSession(const TUserSessionPtr& UserSession) {
    std::lock_guard<std::mutex> lock(FCS);
    auto it = std::find(FList.begin(), FList.end(), UserSession);
    if (it != FList.end()) FList.erase(it);
}

TUserSessionPtr TUserSessionsList::GetUserSessionBySessionId(uint32_t SessionId) {
    std::lock_guard<std::mutex> lock(FCS);
    for (const auto& s : FList)
        if (s->FSessionId == SessionId) return s;
    return nullptr;
}

TUserSessionPtr TUserSessionsList::GetUserSessionByHostname(const std::string& Hostname) {
    const std::string wanted = platform::AsciiLower(Hostname);
    std::lock_guard<std::mutex> lock(FCS);
    for (const auto& s : FList)
        if (platform::AsciiLower(s->FHostname) == wanted) return s;
    return nullptr;
}

void TUserSessionsList::GetSessionIdsList(std::vector<uint32_t>& Sessions) {
    std::lock_guard<std::mutex> lock(FCS);
    for (const auto& s : FList) Sessions.push_back(s->FSessionId);
}

void TUserSessionsList::GetHostnameList(std::vector<std::string>* SL) {
    if (!SL) return;
    std::lock_guard<std::mutex> lock(FCS);
    for (const auto& s : FList) SL->push_back(s->FHostname);
}

void TUserSessionsList::SaveToXML(pugi::xml_node XMLNode) {
    pugi::xml_node tcs = XMLNode.append_child("tcs");
    std::lock_guard<std::mutex> lock(FCS);
    for (const auto& s : FList) s->SaveToXML(tcs);
}

bool TUserSessionsList::AnyNeedsRelock() {
    std::vector<TUserSessionPtr> sessions;
    {
        std::lock_guard<std::mutex> lock(FCS);
        sessions = FList;
    }
    for (const auto& s : sessions)
        if (s->FLocker->NeedAdminRelock()) {
            TLogger::Fine("User from terminal " + s->FHostname + " need to relock");
            return true;
        }
    return false;
}

void TUserSessionsList::ApplyAppCtrlStates(const pugi::xml_node& node, const TProcessTemplateList& appCache) {
    for (pugi::xml_node e = node.child("app_ctrl_state"); e; e = e.next_sibling("app_ctrl_state")) {
        const std::string hostname = e.attribute("hostname").value();
        const int32_t id = TryParseInt32(e.attribute("session_id").value()).value_or(-1);
        if (id <= 0 && hostname.empty()) continue;
        const TUserSessionPtr s =
            id > 0 ? GetUserSessionBySessionId(static_cast<uint32_t>(id)) : GetUserSessionByHostname(hostname);
        if (s) s->FLMData->SetObservedApps(CopyTemplates(appCache));
    }
}

void TUserSessionsList::ApplyLockStates(const pugi::xml_node& node) {
    for (pugi::xml_node e = node.first_child(); e; e = e.next_sibling()) {
        if (e.type() != pugi::node_element) continue;
        const std::string hostname = e.attribute("hostname").value();
        const std::string text = e.text().get();
        const TLockedStatus status = StrToLockedStatus(text);
        if (const TUserSessionPtr s = GetUserSessionByHostname(hostname)) {
            TLogger::Fine("Set lock status for " + hostname + " to " + text);
            s->FLocker->SetLocked(status);
        } else {
            TLogger::Fine("Empty user session for " + hostname);
        }
    }
}

}  // namespace qz
