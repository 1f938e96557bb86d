#include "common/Settings.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <system_error>
#include <utility>

#include "common/Crypto.h"
#include "common/Files.h"
#include "common/Logger.h"
#include "common/Text.h"
#include "common/Url.h"
#include "common/Utils.h"
#include "common/XmlText.h"

namespace qz {
namespace {

namespace fs = std::filesystem;

// Present: the element exists and its text is neither null nor empty.
std::optional<std::string> Present(const pugi::xml_node& e) {
    if (!e) return std::nullopt;
    auto t = ElementValue(e);
    if (!t || t->empty()) return std::nullopt;
    return t;
}

// The element exists: its text, null read as empty.
std::optional<std::string> Existing(const pugi::xml_node& e) {
    if (!e) return std::nullopt;
    return ElementValue(e).value_or(std::string());
}

std::string DecimalOrEmpty(const std::string& s) { return TryParseInt32(s) ? s : std::string(); }

// http(s)://[userinfo@]host[:port][/path][?query][#fragment], rebuilt with a
// port and a path always present.
std::string NormaliseURI(std::string t) {
    for (char& c : t)
        if (c == '\\') c = '/';
    if (!StartsWithNoCase(t, "http://") && !StartsWithNoCase(t, "https://")) t = "http://" + t;
    const TUriParts u = ParseUri(t);
    if (u.host.empty() || u.host == "[]") throw std::runtime_error("Invalid URI: no host name in " + t);
    std::string port = u.port;
    if (port.empty()) {
        port = "8080";
    } else {
        const auto n = TryParseInt32(port);
        if (!n || port[0] == '+' || port[0] == '-' || *n > 65535)
            throw std::runtime_error("Invalid URI: bad port \"" + port + "\" in " + t);
    }
    std::string path = u.path;
    if (path.empty() || path == "/") path = "/server";
    return u.scheme + "://" + u.userInfo + u.host + ":" + port + path + u.query + u.fragment;
}

// The new ServerURI for AURI; `current` when AURI can't be parsed.
std::string ComputeServerURI(const std::string& AURI, const std::string& current) {
    TLogger::Finer("Try to update server url: " + AURI);
    const std::string trimmed = Trim(AURI);
    if (trimmed.empty()) {
        TLogger::Info("Wrong settings \xE2\x80\x93 Server URL is empty");
        return TSettings::FallbackServerURI;
    }
    try {
        return NormaliseURI(trimmed);
    } catch (const std::exception& e) {
        TLogger::Warning(std::string("Error getting server URI ") + e.what());
        return current;
    }
}

void AppendText(pugi::xml_node root, const char* name, const std::string& value) {
    root.append_child(name).text().set(value.c_str());
}

TBytes FileKey() { return ToBytes(TSettings::SettingsFileKey); }

void BackUpToRegistry(const std::string& url, const std::string& hash) {
    try {
        if (TUtils::ReadRegistryKey("ServerURL") != url) {
            TUtils::WriteRegistryKey("ServerURL", url);
            TLogger::Fine("Server URL has been backed up to registry");
        }
    } catch (...) {
    }
    try {
        if (TUtils::ReadRegistryKey("ServerPassword") != hash) {
            TUtils::WriteRegistryKey("ServerPassword", hash);
            TLogger::Fine("Password hash has been backed up to registry");
        }
    } catch (...) {
    }
}

}  // namespace


// ---- TChtlButtonSettings ----

namespace {
constexpr const char* kChtlEnabled = "ldap";
constexpr const char* kChtlVPos = "bottom";
constexpr const char* kChtlHPos = "right";
constexpr const char* kChtlAction = "logout";

std::string AttrText(const pugi::xml_node& n, const char* name, const char* fallback) {
    const pugi::xml_attribute a = n.attribute(name);
    return a ? std::string(a.value()) : std::string(fallback);
}

int32_t AttrInt(const pugi::xml_node& n, const char* name) {
    const pugi::xml_attribute a = n.attribute(name);
    if (!a) return -1;
    return TryParseInt32(a.value()).value_or(-1);
}

bool AttrBool(const pugi::xml_node& n, const char* name) {
    const pugi::xml_attribute a = n.attribute(name);
    if (!a) return false;
    try {
        return ParseBool(a.value());
    } catch (const ESettingsValueError&) {
        return false;
    }
}
}  // namespace

TChtlButtonSettings::TChtlButtonSettings() {
    TLogger::Finest("Creating chtl settings");
    LoadDefaults();
}

void TChtlButtonSettings::LoadDefaults() {
    FEnabled = kChtlEnabled;
    FVerticalPosition = kChtlVPos;
    FHorizontalPosition = kChtlHPos;
    FWidth = -1;
    FHeight = -1;
    FFontSize = -1;
    FFontBold = false;
    FTextColor.clear();
    FColor.clear();
    FButtonClickAction = kChtlAction;
}

void TChtlButtonSettings::LoadFromXML(const pugi::xml_node& ANode) {
    FEnabled = AttrText(ANode, "enabled", kChtlEnabled);
    FVerticalPosition = AttrText(ANode, "vPos", kChtlVPos);
    FHorizontalPosition = AttrText(ANode, "hPos", kChtlHPos);
    FWidth = AttrInt(ANode, "width");
    FHeight = AttrInt(ANode, "height");
    FFontSize = AttrInt(ANode, "font");
    FFontBold = AttrBool(ANode, "font_bold");
    FTextColor = AttrText(ANode, "font_color", "");
    FColor = AttrText(ANode, "color", "");
    FButtonClickAction = AttrText(ANode, "action", kChtlAction);
}

void TChtlButtonSettings::SaveToXml(pugi::xml_node RootNode) const {
    pugi::xml_node n = RootNode.append_child("chtl");
    n.append_attribute("enabled").set_value(FEnabled.c_str());
    n.append_attribute("vPos").set_value(FVerticalPosition.c_str());
    n.append_attribute("hPos").set_value(FHorizontalPosition.c_str());
    if (FWidth >= 0) n.append_attribute("width").set_value(std::to_string(FWidth).c_str());
    if (FHeight >= 0) n.append_attribute("height").set_value(std::to_string(FHeight).c_str());
    if (FFontSize >= 0) n.append_attribute("font").set_value(std::to_string(FFontSize).c_str());
    if (FFontBold) n.append_attribute("font_bold").set_value("true");
    if (!Trim(FTextColor).empty()) n.append_attribute("font_color").set_value(FTextColor.c_str());
    if (!Trim(FColor).empty()) n.append_attribute("color").set_value(FColor.c_str());
    n.append_attribute("action").set_value(FButtonClickAction.c_str());
}

// ---- TSettings ----

TSettings::TSettings() { SetDefaults(); }

TSettings::~TSettings() = default;

std::string TSettings::SettingsFilePath() { return GetAgentDataFolder() + SettingsFileName; }

TSettings::TValues TSettings::Snapshot() const {
    std::lock_guard<std::mutex> guard(FValueLock);
    return FValues;
}

void TSettings::Commit(TValues&& next) {
    TNotifyEvent handler;
    {
        std::lock_guard<std::mutex> guard(FValueLock);
        if (next.FInactivityTime != FValues.FInactivityTime) handler = FOnInactivityTimeChanged;
        FValues = std::move(next);
    }
    // Outside the value lock: the handler may well read the settings.
    if (handler) handler(*this);
}

void TSettings::SetServerUrlIn(TValues& v, const std::string& value) {
    v.FServerUrl = value;
    v._serverUri = ComputeServerURI(value, v._serverUri);
}

void TSettings::ApplyDefaults(TValues& v) {
    SetServerUrlIn(v, "");
    v.FPasswordHash = TBase64::EncodeBase64(TCrypto::CalculateMD5(std::string(DefaultConnectionPassword)));
    v.FListenerPort = 8087;
    v.FIMAlivePeriod = 30000;
    v.FNetworkOutageTimeout = 180000;
    v.FBannerTimeout = 15000;
    v.FLockOnNetworkFailure = false;
    v.FInactivityTime.clear();
    v.FInactivityFormShowTime = "1";
    v.FUseWebsockets = false;
    v.FWebsocketTimeout = 20000;
    v.FLoginScreenMessage.clear();
    v.FEnableSessionLimit = false;
    v.FSessionLimitOnly4Nonadmins = false;
    v.FBypassAccounts.clear();
}

void TSettings::SetDefaults() {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    TValues v = Snapshot();
    ApplyDefaults(v);
    // The defaults set InactivityTime without telling anyone.
    std::lock_guard<std::mutex> guard(FValueLock);
    FValues = std::move(v);
}

void TSettings::RestoreFromRegistry() {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    try {
        const std::string url = TUtils::ReadRegistryKey("ServerURL");
        if (!url.empty()) {
            SetServerUrl(url);
            TLogger::Fine("Server URL restored from registry");
        }
    } catch (const std::exception& e) {
        TLogger::Fine(std::string("Error reading server url regitry key - ") + e.what());
    }
    try {
        const std::string hash = TUtils::ReadRegistryKey("ServerPassword");
        if (!hash.empty()) {
            SetPasswordHash(hash);
            TLogger::Fine("Password hash restored from registry");
        }
    } catch (const std::exception& e) {
        TLogger::Fine(std::string("Error reading server password regitry key - ") + e.what());
    }
}

void TSettings::Init(bool fromDisk) {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    if (!fromDisk || !LoadFromDisk()) {
        SetDefaults();
        RestoreFromRegistry();
    }
}

bool TSettings::LoadFile(const std::string& fileName, const std::string& errorPrefix) {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    try {
        const TBytes plain = TCrypto::Decrypt(ReadWholeFile(fileName), FileKey());
        FillSettings(ToText(plain));
        return true;
    } catch (const std::exception& e) {
        TLogger::Warning(errorPrefix + e.what());
        return false;
    }
}

bool TSettings::LoadFromDisk() { return LoadFile(SettingsFilePath(), "Can not load settings from the disk - "); }

bool TSettings::LoadFromFile(const std::string& AFileName) {
    return LoadFile(AFileName, "Can not load settings from the disk");
}

void TSettings::FillSettings(const std::string& Str) {
    pugi::xml_document doc;
    const pugi::xml_parse_result r = doc.load_buffer(Str.data(), Str.size(),
                                                     pugi::parse_default | pugi::parse_ws_pcdata_single,
                                                     pugi::encoding_utf8);
    if (!r) throw std::runtime_error(std::string("XML parse error: ") + r.description() + " at offset " +
                                     std::to_string(r.offset));
    const pugi::xml_node root = doc.document_element();
    if (!root) throw std::runtime_error("XML parse error: no root element");
    FillSettings(root, false);
}

void TSettings::FillSettings(const pugi::xml_node& ANode, bool IsAdditionalSettings) {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    TValues next = Snapshot();
    Apply(next, ANode, IsAdditionalSettings);
    Commit(std::move(next));
}

void TSettings::FillAndSave(const pugi::xml_node& ANode1, const pugi::xml_node& ANode2) {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    // Both documents or neither: a bad value in the second must not leave the
    // first applied but unsaved.
    TValues next = Snapshot();
    if (ANode1) Apply(next, ANode1, false);
    if (ANode2) Apply(next, ANode2, true);
    Commit(std::move(next));
    if (!SaveSettings()) TLogger::Warning("Error saving settings");
}

void TSettings::Apply(TValues& v, const pugi::xml_node& ANode, bool IsAdditionalSettings) {
    TLogger::Finer("Updating settings");
    // Each step on its own: an element that can't be read as text skips only
    // its step. Conversion errors end the update.
    auto step = [&ANode](const char* name, const auto& apply) {
        try {
            apply(ANode.child(name));
        } catch (const EXmlValueError&) {
        }
    };
    using N = const pugi::xml_node&;
    step("server_url", [&](N e) { if (auto t = Present(e)) SetServerUrlIn(v, *t); });
    step("listener_port", [&](N e) { if (auto t = Present(e)) v.FListenerPort = ParseInt32(*t); });
    step("i_am_alive_period", [&](N e) { if (auto t = Present(e)) v.FIMAlivePeriod = ParseInt32(*t); });
    step("banner_timeout", [&](N e) { if (auto t = Present(e)) v.FBannerTimeout = ParseInt32(*t); });
    step("network_outage_timeout", [&](N e) { if (auto t = Present(e)) v.FNetworkOutageTimeout = ParseInt32(*t); });
    step("lock_on_network_outage", [&](N e) { if (auto t = Present(e)) v.FLockOnNetworkFailure = ParseBool(*t); });
    step("password_hash", [&](N e) { if (auto t = Present(e)) v.FPasswordHash = *t; });
    step("workstation_name", [&](N e) { if (auto t = Present(e)) v.FMachineName = *t; });
    step("room_name", [&](N e) { if (auto t = Present(e)) v.FRoomName = *t; });
    step("adv_use_ws", [&](N e) { if (auto t = Present(e)) v.FUseWebsockets = ParseBool(*t); });
    step("idle_timeout_action", [&](N e) {
        const auto t = Present(e);
        // The session-limit document rarely carries the code; without one it
        // must not undo what the ordinary document of the same reply set.
        if (!t && IsAdditionalSettings) return;
        const int32_t code = t ? ParseInt32(*t) : 0;
        v.FIdleTimeoutAction = (code == 1501 || code == 1502 || code == 1503) ? code : 1501;
    });
    step("ws_timeout", [&](N e) { if (auto t = Present(e)) v.FWebsocketTimeout = ParseInt32(*t); });
    step("inactivity_time", [&](N e) { if (auto t = Existing(e)) v.FInactivityTime = DecimalOrEmpty(*t); });
    step("logoff_warning_time", [&](N e) { if (auto t = Existing(e)) v.FInactivityFormShowTime = DecimalOrEmpty(*t); });
    step("login_s_m", [&](N e) { if (auto t = Existing(e)) v.FLoginScreenMessage = *t; });
    step("enable_session_limit", [&](N e) { if (auto t = Present(e)) v.FEnableSessionLimit = ParseBool(*t); });
    step("sl_only_4_nonadmins", [&](N e) { if (auto t = Present(e)) v.FSessionLimitOnly4Nonadmins = ParseBool(*t); });
    step("bypass_accounts", [&](N e) { if (auto t = Existing(e)) v.FBypassAccounts = *t; });
    try {
        const pugi::xml_node e = ANode.child("chtl");
        if (e) {
            if (!v.FChtlButtonSettings) v.FChtlButtonSettings.emplace();
            v.FChtlButtonSettings->LoadFromXML(e);
        } else if (!IsAdditionalSettings) {
            v.FChtlButtonSettings.reset();
        }
    } catch (const std::exception& ex) {
        TLogger::Info(std::string("chtl settings error ") + ex.what());
    }
}

void TSettings::Render(const TValues& v, pugi::xml_node root) {
    AppendText(root, "server_url", v.FServerUrl);
    AppendText(root, "listener_port", std::to_string(v.FListenerPort));
    AppendText(root, "i_am_alive_period", std::to_string(v.FIMAlivePeriod));
    AppendText(root, "network_outage_timeout", std::to_string(v.FNetworkOutageTimeout));
    AppendText(root, "lock_on_network_outage", BoolText(v.FLockOnNetworkFailure));
    AppendText(root, "password_hash", v.FPasswordHash);
    AppendText(root, "room_name", v.FRoomName);
    AppendText(root, "workstation_name", v.FMachineName);
    AppendText(root, "inactivity_time", v.FInactivityTime);
    AppendText(root, "logoff_warning_time", v.FInactivityFormShowTime);
    AppendText(root, "idle_timeout_action", std::to_string(v.FIdleTimeoutAction));
    AppendText(root, "banner_timeout", std::to_string(v.FBannerTimeout));
    AppendText(root, "adv_use_ws", BoolText(v.FUseWebsockets));
    AppendText(root, "ws_timeout", std::to_string(v.FWebsocketTimeout));
    AppendText(root, "login_s_m", v.FLoginScreenMessage);
    AppendText(root, "enable_session_limit", BoolText(v.FEnableSessionLimit));
    AppendText(root, "sl_only_4_nonadmins", BoolText(v.FSessionLimitOnly4Nonadmins));
    AppendText(root, "bypass_accounts", v.FBypassAccounts);
    if (v.FChtlButtonSettings) v.FChtlButtonSettings->SaveToXml(root);
}

void TSettings::SaveSettings(pugi::xml_node rootnode) const { Render(Snapshot(), rootnode); }

bool TSettings::SaveSettings() {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    try {
        const fs::path folder = ToFsPath(GetAgentDataFolder());
        std::error_code ec;
        if (!fs::is_directory(folder, ec)) fs::create_directories(folder);
    } catch (const std::exception& e) {
        TLogger::Warning(std::string("Error saving settings ") + e.what());
        return false;
    }
    return SaveSettings(SettingsFilePath());
}

bool TSettings::SaveSettings(const std::string& AFileName) {
    std::lock_guard<std::recursive_mutex> lock(FLock);
    const TValues v = Snapshot();
    bool replaced = true;
    try {
        pugi::xml_document doc;
        pugi::xml_node decl = doc.append_child(pugi::node_declaration);
        decl.append_attribute("version").set_value("1.0");
        decl.append_attribute("encoding").set_value("UTF-8");
        Render(v, doc.append_child("settings"));
        std::ostringstream text;
        doc.save(text, "  ", pugi::format_indent, pugi::encoding_utf8);
        TLogger::Finer("Try to save settings!");
        ReplaceFileContent(AFileName, TCrypto::Encrypt(ToBytes(text.str()), FileKey()));
    } catch (const EReplaceError& e) {
        TLogger::Fine(std::string("rename error ") + e.what());
        replaced = false;
    } catch (const std::exception& e) {
        TLogger::Warning(std::string("Error saving settings ") + e.what());
        return false;
    }
    BackUpToRegistry(v.FServerUrl, v.FPasswordHash);
    return replaced;
}

void TSettings::UpdateServerUrl(const std::string& AURI) {
    const std::string uri = ComputeServerURI(AURI, ServerURI());
    std::lock_guard<std::mutex> guard(FValueLock);
    FValues._serverUri = uri;
}

std::string TSettings::ServletURL(const char* name) const {
    std::string base = ServerURI();
    if (base.empty() || base.back() != '/') base += '/';
    return base + name;
}

std::string TSettings::GuardServerURL() const { return ServletURL("guard"); }
std::string TSettings::BannerServletURL() const { return ServletURL("get_banner"); }
std::string TSettings::UpdateURL() const { return ServletURL("update"); }
std::string TSettings::AutoLogonInfoURL() const { return ServletURL("autologon-info"); }
std::string TSettings::CheckUserURL() const { return ServletURL("check-user"); }

// ---- properties ----

#define QZ_GETTER(Type, Name, Field)                   \
    Type TSettings::Name() const {                     \
        std::lock_guard<std::mutex> guard(FValueLock); \
        return FValues.Field;                          \
    }
#define QZ_SETTER(Param, Name, Field)                  \
    void TSettings::Set##Name(Param value) {           \
        std::lock_guard<std::mutex> guard(FValueLock); \
        FValues.Field = value;                         \
    }

QZ_GETTER(std::string, ServerUrl, FServerUrl)
QZ_GETTER(std::string, ServerURI, _serverUri)
QZ_GETTER(int32_t, ListenerPort, FListenerPort)
QZ_SETTER(int32_t, ListenerPort, FListenerPort)
QZ_GETTER(int32_t, IMAlivePeriod, FIMAlivePeriod)
QZ_SETTER(int32_t, IMAlivePeriod, FIMAlivePeriod)
QZ_GETTER(int32_t, NetworkOutageTimeout, FNetworkOutageTimeout)
QZ_SETTER(int32_t, NetworkOutageTimeout, FNetworkOutageTimeout)
QZ_GETTER(int32_t, BannerTimeout, FBannerTimeout)
QZ_SETTER(int32_t, BannerTimeout, FBannerTimeout)
QZ_GETTER(bool, LockOnNetworkFailure, FLockOnNetworkFailure)
QZ_SETTER(bool, LockOnNetworkFailure, FLockOnNetworkFailure)
QZ_GETTER(std::string, PasswordHash, FPasswordHash)
QZ_SETTER(const std::string&, PasswordHash, FPasswordHash)
QZ_GETTER(std::string, MachineName, FMachineName)
QZ_SETTER(const std::string&, MachineName, FMachineName)
QZ_GETTER(std::string, RoomName, FRoomName)
QZ_SETTER(const std::string&, RoomName, FRoomName)
QZ_GETTER(std::string, InactivityTime, FInactivityTime)
QZ_GETTER(std::string, InactivityFormShowTime, FInactivityFormShowTime)
QZ_SETTER(const std::string&, InactivityFormShowTime, FInactivityFormShowTime)
QZ_GETTER(int32_t, IdleTimeoutAction, FIdleTimeoutAction)
QZ_SETTER(int32_t, IdleTimeoutAction, FIdleTimeoutAction)
QZ_GETTER(bool, UseWebsockets, FUseWebsockets)
QZ_SETTER(bool, UseWebsockets, FUseWebsockets)
QZ_GETTER(int32_t, WebsocketTimeout, FWebsocketTimeout)
QZ_SETTER(int32_t, WebsocketTimeout, FWebsocketTimeout)
QZ_GETTER(std::string, LoginScreenMessage, FLoginScreenMessage)
QZ_SETTER(const std::string&, LoginScreenMessage, FLoginScreenMessage)
QZ_GETTER(bool, EnableSessionLimit, FEnableSessionLimit)
QZ_SETTER(bool, EnableSessionLimit, FEnableSessionLimit)
QZ_GETTER(bool, SessionLimitOnly4Nonadmins, FSessionLimitOnly4Nonadmins)
QZ_SETTER(bool, SessionLimitOnly4Nonadmins, FSessionLimitOnly4Nonadmins)
QZ_GETTER(std::string, BypassAccounts, FBypassAccounts)
QZ_SETTER(const std::string&, BypassAccounts, FBypassAccounts)
QZ_GETTER(std::optional<TChtlButtonSettings>, ChtlButtonSettings, FChtlButtonSettings)

#undef QZ_GETTER
#undef QZ_SETTER

void TSettings::SetServerUrl(const std::string& value) {
    TValues v = Snapshot();
    SetServerUrlIn(v, value);
    std::lock_guard<std::mutex> guard(FValueLock);
    FValues.FServerUrl = v.FServerUrl;
    FValues._serverUri = v._serverUri;
}

void TSettings::SetInactivityTime(const std::string& value) {
    TNotifyEvent handler;
    {
        std::lock_guard<std::mutex> guard(FValueLock);
        if (value == FValues.FInactivityTime) return;
        FValues.FInactivityTime = value;
        handler = FOnInactivityTimeChanged;
    }
    if (handler) handler(*this);
}

void TSettings::SetOnInactivityTimeChanged(TNotifyEvent handler) {
    std::lock_guard<std::mutex> guard(FValueLock);
    FOnInactivityTimeChanged = std::move(handler);
}

}  // namespace qz
