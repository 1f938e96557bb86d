#include "protocol/GuardEventsInfo.h"

#include <climits>
#include <filesystem>
#include <system_error>

#include "common/Files.h"
#include "common/Logger.h"
#include "common/Text.h"
#include "common/Utils.h"
#include "common/WinUtils.h"
#include "platform/Clock.h"
#include "sessions/UserCache.h"

namespace qz {
namespace {

// Replaces an attribute that is already there, so writing a name twice never
// gives an element with a duplicate attribute.
void SetAttr(pugi::xml_node node, const char* name, const std::string& value) {
    pugi::xml_attribute a = node.attribute(name);
    if (!a) a = node.append_attribute(name);
    a.set_value(value.c_str());
}

void AddText(pugi::xml_node node, const char* name, const std::string& value) {
    node.append_child(name).text().set(value.c_str());
}

std::string Now() { return TUtils::formatUTCTime(platform::sys::NowLocal()); }

// The file part of a name the server chose; "" when nothing usable is left.
// Keeps the clean-up inside the update folder whatever the name says.
std::string PlainFileName(const std::string& name) {
    const auto slash = name.find_last_of("\\/");
    std::string file = slash == std::string::npos ? name : name.substr(slash + 1);
    if (file == "." || file == "..") file.clear();
    return file;
}

}  // namespace

// ---- entries ----

void TGuardEvent::SaveToXML(pugi::xml_node events, const std::string& packetVersion) const {
    pugi::xml_node event = events.append_child("event");
    SetAttr(event, "id", std::to_string(FId));
    SetAttr(event, "client_time", FTime);
    SaveContent(event, packetVersion);
}

void TLogonEvent::SaveContent(pugi::xml_node event, const std::string& packetVersion) const {
    pugi::xml_node state = event.append_child("login_state");
    SetAttr(state, "state", FEventType);
    SetAttr(state, "user_id", std::to_string(FUserId));
    if (packetVersion < "2.5") {
        AddText(state, "user_name", FUserName);
        AddText(state, "full_name", FFullName);
        AddText(state, "domain_name", FDomain);
        AddText(state, "isadmin", BoolTitleText(FIsAdmin));
    }
}

void TAppEvent::SaveContent(pugi::xml_node event, const std::string& packetVersion) const {
    pugi::xml_node app = event.append_child(FEventType.c_str());
    SetAttr(app, "id", std::to_string(FProcessId));
    if (packetVersion >= "2.5") {
        SetAttr(app, "user_id", std::to_string(FUserId));
    } else if (!FUserName.empty()) {
        SetAttr(app, "user_name", FUserName);
        SetAttr(app, "domain_name", FDomain);
    }
    if (!FIsAdmin.empty()) {
        SetAttr(app, "user_name", FUserName);
        SetAttr(app, "domain_name", FDomain);
        SetAttr(app, "isadmin", FIsAdmin);
    }
}

void TUpdateEvent::SaveContent(pugi::xml_node event, const std::string& packetVersion) const {
    pugi::xml_node update = event.append_child("update");
    SetAttr(update, "id", FUpdateId);
    SetAttr(update, "state", BoolTitleText(FUpdateState));
    if (!FUpdateError.empty()) SetAttr(update, "error", FUpdateError);
}

void TUpdateEvent::FinalyzeEvent() {
    TLogger::Fine("Finalize update event");
    const std::string folder = GetAgentDataFolder() + "Update";
    const std::string file = PlainFileName(FUpdateFile);
    std::error_code ec;
    if (!file.empty()) {
        for (const std::string& name : {file, ChangeFileExt(file, ".ok"), ChangeFileExt(file, ".start")})
            std::filesystem::remove(ToFsPath(folder + "\\" + name), ec);
    }
    // Not recursive: a download that is under way keeps its files.
    std::filesystem::remove(ToFsPath(folder), ec);
}

// ---- journal ----

TGuardEventsInfo::TGuardEventsInfo(TUserCache& userCache, bool multiSession)
    : _userCache(userCache), _multiSession(multiSession) {}

TGuardEventsInfo::~TGuardEventsInfo() = default;

int32_t TGuardEventsInfo::NextNumber() {
    // After the largest number the count goes on from 1: numbers stay positive
    // and Receipting knows where the restart lies.
    _nextId = _nextId == INT32_MAX ? 1 : _nextId + 1;
    return _nextId;
}

void TGuardEventsInfo::Append(std::unique_ptr<TGuardEvent> entry) { _list.push_back(std::move(entry)); }

void TGuardEventsInfo::UserChanged(const std::string& AnOldUserName, const std::string& ANewUserName, bool IsAdmin,
                                   const std::string& FullName) {
    UserChanged(AnOldUserName, ANewUserName, IsAdmin, FullName, std::string());
}

void TGuardEventsInfo::UserChangedWithHostname(const std::string& AnOldUserName, const std::string& ANewUserName,
                                               bool IsAdmin, const std::string& Hostname) {
    UserChanged(AnOldUserName, ANewUserName, IsAdmin, std::string(), Hostname);
}

void TGuardEventsInfo::UserChanged(const std::string& AnOldUserName, const std::string& ANewUserName, bool IsAdmin,
                                   const std::string& FullName, const std::string& Hostname) {
    std::lock_guard<std::mutex> lock(_lock);
    auto entry = std::make_unique<TLogonEvent>();
    entry->FId = NextNumber();
    entry->FTime = Now();
    std::string name;
    if (!ANewUserName.empty()) {
        entry->FEventType = "logon";
        entry->FIsAdmin = IsAdmin;
        name = ANewUserName;
    } else {
        entry->FEventType = "logoff";
        name = AnOldUserName;
    }
    TUserCache::SeparateDomainAndUser(name, entry->FUserName, entry->FDomain);
    entry->FFullName = !FullName.empty() ? FullName : TUserCache::GetFullUserName(entry->FUserName);
    entry->FUserId = _userCache.Add(entry->FUserName, entry->FDomain, IsAdmin, Hostname);
    Append(std::move(entry));
    if (!_multiSession || Hostname.empty()) {
        std::lock_guard<std::mutex> user(_userLock);
        _currentUser = ANewUserName;
        _currentHostname = Hostname;
        FIsAdmin = IsAdmin;
    }
}

void TGuardEventsInfo::AddAppEvent(const std::string& AnEventType, int32_t AProcessId, const std::string& Hostname) {
    std::lock_guard<std::mutex> lock(_lock);
    std::string currentUser;
    bool currentAdmin;
    {
        std::lock_guard<std::mutex> user(_userLock);
        currentUser = _currentUser;
        currentAdmin = FIsAdmin;
    }
    auto entry = std::make_unique<TAppEvent>();
    entry->FEventType = AnEventType;
    entry->FProcessId = AProcessId;
    entry->FTime = Now();
    TUserCache::SeparateDomainAndUser(currentUser, entry->FUserName, entry->FDomain);
    entry->FUserId = _userCache.GetUserIdByName(_multiSession ? Hostname : currentUser);
    if (AnEventType == "app_start") {
        if (_multiSession) {
            if (auto rec = _userCache.GetUserById(entry->FUserId)) {
                entry->FUserName = rec->Name;
                entry->FDomain = rec->Domain;
                entry->FIsAdmin = BoolTitleText(rec->IsAdmin);
            }
        } else if (entry->FUserId < 0) {
            // Nobody known is logged on: the application runs for the system.
            entry->FUserName = "SYSTEM";
            entry->FDomain = TWinUtils::GetComputerNetName();
            entry->FIsAdmin = "true";
        } else {
            entry->FIsAdmin = BoolTitleText(currentAdmin);
        }
    }
    entry->FId = NextNumber();
    Append(std::move(entry));
}

void TGuardEventsInfo::AddUpdateEvent(const std::string& AUpdateId, const std::string& AFileName, bool AUpdateState,
                                      const std::string& AUpdateError) {
    std::lock_guard<std::mutex> lock(_lock);
    auto entry = std::make_unique<TUpdateEvent>();
    entry->FTime = Now();
    entry->FUpdateId = AUpdateId;
    entry->FUpdateFile = AFileName;
    entry->FUpdateState = AUpdateState;
    entry->FUpdateError = AUpdateError;
    entry->FId = NextNumber();
    Append(std::move(entry));
}

void TGuardEventsInfo::SaveEvents(pugi::xml_node ANode, const std::string& packetVersion) {
    std::lock_guard<std::mutex> lock(_lock);
    if (_list.empty()) return;
    pugi::xml_node events = ANode.append_child("events");
    for (const auto& entry : _list) entry->SaveToXML(events, packetVersion);
}

void TGuardEventsInfo::Receipting(int32_t Number) {
    std::lock_guard<std::mutex> lock(_lock);
    if (Number == _lastId) return;
    // Entries are in number order, except that numbering restarts at 1 after
    // the largest number. The acknowledged number itself, when listed, marks
    // the end even past such a restart; otherwise the entries up to it go,
    // but never across the restart, so entries not yet sent stay.
    size_t cut = 0;
    for (size_t i = 0; i < _list.size(); ++i)
        if (_list[i]->FId == Number) cut = i + 1;
    if (cut == 0) {
        while (cut < _list.size() && _list[cut]->FId <= Number && (cut == 0 || _list[cut]->FId > _list[cut - 1]->FId))
            ++cut;
    }
    for (size_t i = 0; i < cut; ++i) {
        // A clean-up that fails must not keep the entry, or every later
        // acknowledgement would stop at it.
        try {
            _list[i]->FinalyzeEvent();
        } catch (const std::exception& e) {
            TLogger::Warning(std::string("Error finalizing event ") + e.what());
        }
    }
    _list.erase(_list.begin(), _list.begin() + static_cast<std::ptrdiff_t>(cut));
    _lastId = Number;
}

std::string TGuardEventsInfo::UserName() const {
    std::lock_guard<std::mutex> lock(_userLock);
    return _currentUser;
}

std::string TGuardEventsInfo::HostName() const {
    std::lock_guard<std::mutex> lock(_userLock);
    return _currentHostname;
}

bool TGuardEventsInfo::IsAdmin() const {
    std::lock_guard<std::mutex> lock(_userLock);
    return FIsAdmin;
}

std::vector<int32_t> TGuardEventsInfo::PendingIds() {
    std::lock_guard<std::mutex> lock(_lock);
    std::vector<int32_t> ids;
    for (const auto& entry : _list) ids.push_back(entry->FId);
    return ids;
}

void TGuardEventsInfo::SeedNumberingForTests(int32_t lastNumber) {
    std::lock_guard<std::mutex> lock(_lock);
    _nextId = lastNumber;
}

}  // namespace qz
