#include "protocol/AppState.h"

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include "common/Files.h"
#include "common/Logger.h"
#include "common/Settings.h"
#include "common/Text.h"
#include "common/XmlText.h"
#include "common/Utils.h"
#include "platform/Clock.h"
#include "protocol/GuardEventsInfo.h"
#include "sessions/Locker.h"
#include "sessions/UserCache.h"

namespace qz {

namespace {


// Asking for an element that isn't there is an error, as the rows expect.
pugi::xml_node Child(const pugi::xml_node& node, const char* name) {
    pugi::xml_node c = node.child(name);
    if (!c) throw EAbsentElement(name);
    return c;
}

// One row of the control state: an absent element is skipped quietly, any
// other error is logged with the row's message and the next row runs.
template <typename Fn>
void Row(const char* message, Fn&& fn) {
    try {
        fn();
    } catch (const EAbsentElement&) {
    } catch (const std::exception& e) {
        TLogger::Warning(std::string(message) + e.what());
    }
}

}  // namespace

TApplicationState::TApplicationState(TAppStateContext context)
    : FCtx(std::move(context)), FLMData(std::make_unique<TLicenseManagerData>()) {
    if (!FCtx.Now) FCtx.Now = [] { return platform::sys::NowLocal(); };
}

std::string TApplicationState::AppListFile() { return GetAgentDataFolder() + "guard.data"; }

void TApplicationState::SetPacketId(const std::string& id) {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    FPacketId = id;
}
void TApplicationState::SetReceivedResponse(const std::string& text) {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    FReceivedResponse = text;
}
std::string TApplicationState::PacketId() const { return Locked(FPacketId); }
TBytes TApplicationState::ConnectionPassword() const { return Locked(FConnectionPassword); }
std::string TApplicationState::NoChangeCode() const { return Locked(FNoChangeCode); }
std::string TApplicationState::ReceivedResponse() const { return Locked(FReceivedResponse); }
std::string TApplicationState::PacketVersion() const { return Locked(FPacketVersion); }
bool TApplicationState::CanUseNoChangeMode() const { return Locked(FCanUseNoChangeMode); }
std::string TApplicationState::SettingsUpdateTime() const { return Locked(FSettingsUpdateTime); }
std::string TApplicationState::AppCacheUpdateTime() const { return Locked(FAppCacheUpdateTime); }
std::string TApplicationState::SettingLimitSettingsUpdateTime() const { return Locked(FSettingLimitSettingsUpdateTime); }

TProcessTemplateList TApplicationState::AppCacheCopy() const {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    return CopyTemplates(FAppCache);
}

// ---- outbound ----

bool TApplicationState::NeedsAdminRelock() {
    if (FCtx.Locker && FCtx.Locker->NeedAdminRelock()) {
        TLogger::Fine("Console user need to relock");
        return true;
    }
    return FCtx.SupportMultipleSessions && FCtx.SessionsNeedRelock && FCtx.SessionsNeedRelock();
}

std::string TApplicationState::CreateResponse(bool& NoChangeValue) {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    NoChangeValue = false;
    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("command");
    root.append_attribute("version") = FCtx.AgentVersion.c_str();
    root.append_child("name").text() = "i_am_alive";
    CollectActiveState(root);
    if (VersionAtLeast(FPacketVersion, "2.5") && FCtx.UserCache) FCtx.UserCache->SaveUsers(root);
    if (FCtx.SupportMultipleSessions && FCtx.SaveSessions) FCtx.SaveSessions(root);
    if (VersionAtLeast(FPacketVersion, "2.2") && FCtx.GuardEvents) FCtx.GuardEvents->SaveEvents(root, FPacketVersion);

    const std::string text = OuterXml(root);
    if (text == _oldXML && FCanUseNoChangeMode && !NeedsAdminRelock()) NoChangeValue = true;
    if (TLogger::GetMainLevel() > 5)
        TLogger::Finest(text != _oldXML ? "Output packet has been changed" : "!!!Surprisingly client has no changes");
    _oldXML = text;

    if (VersionAtLeast(FPacketVersion, "2.2"))
        root.append_child("client_time").text() = TUtils::formatUTCTime(FCtx.Now()).c_str();
    if (!FPacketId.empty()) root.append_attribute("id") = FPacketId.c_str();
    std::ostringstream out;
    doc.save(out, "", pugi::format_raw);
    return out.str();
}

void TApplicationState::CollectActiveState(pugi::xml_node& AParentNode) {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    pugi::xml_node as = AParentNode.append_child("active_state");
    if (FNeedAddGuardPort.exchange(false) && FCtx.Settings)
        as.append_child("listener_port").text() = std::to_string(FCtx.Settings->ListenerPort()).c_str();
    if (FCtx.LogLevel) {
        const int32_t level = FCtx.LogLevel();
        if (level != -1) as.append_child("logging_level").text() = std::to_string(std::min(level, 6)).c_str();
    }
    pugi::xml_node os = as.append_child("os_ver");
    os.text() = FCtx.OSVersion.c_str();
    os.append_attribute("is64bit") = BoolTitleText(FCtx.Is64BitOS);
    os.append_attribute("ms") = BoolTitleText(FCtx.RealMultiSession);
    os.append_attribute("vdi") = FCtx.VDIType.c_str();
    as.append_child("lock_status").text() = FCtx.Locker ? FCtx.Locker->LockStatusText().c_str() : "unlocked";
    as.append_child("settings_update_time").text() = FSettingsUpdateTime.c_str();
    as.append_child("sl_settings_update_time").text() = FSettingLimitSettingsUpdateTime.c_str();
    as.append_child("banner_update_time").text() = FCtx.BannerUpdateTime ? FCtx.BannerUpdateTime().c_str() : "";
    as.append_child("app_cache_update_time").text() = FAppCacheUpdateTime.c_str();

    if (VersionAtLeast(FPacketVersion, "2.2") && FCtx.GuardEvents) {
        pugi::xml_node ls = as.append_child("login_state");
        const std::string user = FCtx.GuardEvents->UserName();
        ls.append_attribute("state") = user.empty() ? "logoff" : "logon";
        if (!user.empty()) {
            const std::string lookup =
                FCtx.SupportMultipleSessions ? user + "\\" + FCtx.GuardEvents->HostName() : user;
            const int32_t id = FCtx.UserCache ? FCtx.UserCache->GetUserIdByName(lookup) : -1;
            ls.append_attribute("user_id") = id;
            if (!VersionAtLeast(FPacketVersion, "2.5")) {
                std::string name, domain;
                TUserCache::SeparateDomainAndUser(user, name, domain);
                const std::string full = TUserCache::GetFullUserName(name);
                if (full.empty()) TLogger::Info("Error: can not get full name");
                ls.append_child("user_name").text() = name.c_str();
                ls.append_child("full_name").text() = full.c_str();
                ls.append_child("domain_name").text() = domain.c_str();
                ls.append_child("isadmin").text() = BoolTitleText(FCtx.GuardEvents->IsAdmin());
            }
        }
    }

    pugi::xml_node apps = as.append_child("applications_state");
    std::lock_guard<std::mutex> running(FLMData->FCSRunningApps);
    for (int32_t id : FLMData->FRunningObservedApps) {
        pugi::xml_node a = apps.append_child("application_state");
        a.append_attribute("id") = id;
        a.append_attribute("restrict") = "no";
        a.append_attribute("modifytime") = id;
    }
}

// ---- inbound ----

bool TApplicationState::ProcessState(const std::string& AState) {
    try {
        pugi::xml_document doc;
        const pugi::xml_parse_result parsed = doc.load_buffer(AState.data(), AState.size());
        if (!parsed) throw std::runtime_error(std::string("Invalid XML: ") + parsed.description());
        pugi::xml_node root = doc.document_element();
        if (!root) throw std::runtime_error("Invalid XML: no root element");
        pugi::xml_node control = root.child("control_state");
        {
            std::lock_guard<std::recursive_mutex> lock(FLock);
            pugi::xml_attribute version = root.attribute("version");
            FPacketVersion = version ? version.value() : "1.0";
        }
        if (!control) throw std::runtime_error("Element \"control_state\" not found");
        ProcessControlState(control, false);
        return true;
    } catch (const std::exception& e) {
        TLogger::Warning(std::string("App state process state error ") + e.what());
        return false;
    }
}

void TApplicationState::ProcessControlState(const pugi::xml_node& ANode, bool IsCommand) {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    TLogger::Finer("ProcessControlState is running");

    if (pugi::xml_node ls = ANode.child("lock_status")) {
        if (FCtx.Locker) {
            if (IsCommand) FCtx.Locker->ResetAdminUnlock();
            FCtx.Locker->SetLocked(StrToLockedStatus(ls.text().get()));
        }
    }
    Row("Packet decoding error (no change)", [&] {
        pugi::xml_node nc = Child(ANode, "nochange");
        // It travels unescaped in the request address and as three bytes of the
        // short websocket frame: only a plain decimal number is taken.
        const std::string code = nc.text().get();
        if (code.find_first_not_of("0123456789") != std::string::npos || !TryParseInt32(code))
            throw EConvertError("'" + code + "' is not a valid no-change code; the previous one stays");
        FNoChangeCode = code;
        FCanUseNoChangeMode = true;
    });
    Row("Banners decoding error ", [&] {
        pugi::xml_node b = Child(ANode, "banners");
        if (FCtx.Banners)
            FCtx.Banners(b);
        else
            TLogger::Fine("Banners skipped: no banner cache");
    });
    Row("Packet decoding error (settings) ", [&] {
        pugi::xml_node s = ANode.child("settings");
        pugi::xml_node sl = ANode.child("sl_settings");
        if (!s && !sl) return;
        if (FCtx.Settings) FCtx.Settings->FillAndSave(s, sl);
        if (s) {
            pugi::xml_node pw = Child(s, "communicate_password");
            FConnectionPassword = TBase64::DecodeBase64(pw.text().get());
        }
    });
    Row("Packet decoding error (settings update time) ",
        [&] { FSettingsUpdateTime = Child(ANode, "settings_update_time").text().get(); });
    Row("Packet decoding error (session limit settings) ",
        [&] { FSettingLimitSettingsUpdateTime = Child(ANode, "sl_settings_update_time").text().get(); });
    Row("Packet decoding error (event handshake) ", [&] {
        pugi::xml_node hs = Child(ANode, "event_handshake");
        const int32_t last = ParseInt32(Child(hs, "last").text().get());
        if (FCtx.GuardEvents) FCtx.GuardEvents->Receipting(last);
    });
    Row("Packet decoding error (updates) ", [&] {
        pugi::xml_node u = Child(ANode, "update");
        if (FCtx.Update)
            FCtx.Update(u);
        else
            TLogger::Fine("Update offer skipped: no update manager");
    });
    Row("Packet decoding error in application tag ", [&] { ProcessAppList(ANode); });
    if (FCtx.SupportMultipleSessions) {
        Row("Packet decoding error in app_ctrl_states tag ", [&] {
            pugi::xml_node n = Child(ANode, "app_ctrl_states");
            if (FCtx.AppCtrlStates) FCtx.AppCtrlStates(n);
        });
        Row("Packet decoding error in lock_states tag ", [&] {
            pugi::xml_node n = Child(ANode, "lock_states");
            if (FCtx.LockStates) FCtx.LockStates(n);
        });
    }
}

void TApplicationState::ProcessAppList(const pugi::xml_node& ANode) {
    std::string toSave;
    if (pugi::xml_node apps = ANode.child("apps")) {
        ProcessApps(apps);
        toSave = "<apps>" + OuterXml(Child(apps, "app_cache")) + "</apps>";
    } else if (pugi::xml_node applications = ANode.child("applications")) {
        ProcessApplications(applications);
        toSave = OuterXml(applications);
    } else {
        return;
    }
    try {
        const TBytes hash = TBase64::DecodeBase64(FCtx.Settings ? FCtx.Settings->PasswordHash() : std::string());
        std::filesystem::create_directories(ToFsPath(GetAgentDataFolder()));
        ReplaceFileContent(AppListFile(), TCrypto::Encrypt(ToBytes(toSave), hash));
    } catch (const std::exception& e) {
        TLogger::Severe(std::string("Error writing application list to disk ") + e.what());
    }
}

namespace {
// A whole list or nothing: a broken template leaves the previous list in force,
// and the server, seeing the old stamp, sends it again.
TProcessTemplateList LoadTemplates(const pugi::xml_node& parent, const char* onlyName, bool strict) {
    TProcessTemplateList list;
    for (pugi::xml_node c = parent.first_child(); c; c = c.next_sibling()) {
        if (c.type() != pugi::node_element) continue;
        if (onlyName && std::string(c.name()) != onlyName) continue;
        auto t = std::make_unique<TProcessTemplate>();
        t->LoadFromXML(c, strict);
        list.push_back(std::move(t));
    }
    return list;
}
}  // namespace

void TApplicationState::ProcessApps(const pugi::xml_node& ANode) {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    if (pugi::xml_node cache = ANode.child("app_cache")) {
        TProcessTemplateList list = LoadTemplates(cache, "application", true);
        _currentAppCache = OuterXml(cache);
        FAppCacheUpdateTime = cache.attribute("modifytime").value();
        FAppCache = std::move(list);
    }
    FLMData->SetObservedApps(CopyTemplates(FAppCache));
}

void TApplicationState::ProcessApplications(const pugi::xml_node& ANode) {
    FLMData->SetObservedApps(LoadTemplates(ANode, nullptr, true));
}

bool TApplicationState::ReadSavedList() {
    TLogger::Fine("We are reading saved list");
    try {
        if (!std::filesystem::exists(ToFsPath(AppListFile()))) throw std::runtime_error("File not found: " + AppListFile());
        const TBytes data = ReadWholeFile(AppListFile());
        const TBytes hash = TBase64::DecodeBase64(FCtx.Settings ? FCtx.Settings->PasswordHash() : std::string());
        const std::string text = ToText(TCrypto::Decrypt(data, hash));
        if (TLogger::WillLog(logFinest)) TLogger::Finest(text);
        pugi::xml_document doc;
        if (!doc.load_buffer(text.data(), text.size())) throw std::runtime_error("Invalid XML");
        pugi::xml_node root = doc.document_element();
        std::lock_guard<std::recursive_mutex> lock(FLock);
        // Lenient: a pattern element missing from the saved copy reads as empty.
        if (std::string(root.name()) == "applications") {
            FLMData->SetObservedApps(LoadTemplates(root, nullptr, false));
        } else {
            pugi::xml_node cache = Child(root, "app_cache");
            FAppCache = LoadTemplates(cache, "application", false);
            _currentAppCache = OuterXml(cache);
            FAppCacheUpdateTime = cache.attribute("modifytime").value();
            FLMData->SetObservedApps(CopyTemplates(FAppCache));
        }
        return true;
    } catch (const std::exception& e) {
        TLogger::Info(std::string("Error loading a list of saved applications ") + e.what());
        return false;
    }
}

void TApplicationState::ResetApplication() {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    TLogger::Finer("Reset Application");
    FConnectionPassword.clear();
    FCanUseNoChangeMode = false;
    FNoChangeCode.clear();
    FAppInitialized = false;
}

}  // namespace qz
