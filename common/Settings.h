#pragma once
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include <pugixml.hpp>

#include "common/Text.h"

namespace qz {

// A setting whose text doesn't convert to its type. It ends the whole update.
using ESettingsValueError = EConvertError;

// Appearance and action of the one on-screen button, carried as the
// attributes of "chtl".
class TChtlButtonSettings {
public:
    // Logs its creation, then takes the defaults.
    TChtlButtonSettings();

    void LoadDefaults();
    // Sets every field: an attribute that is missing or doesn't convert gives the default.
    void LoadFromXML(const pugi::xml_node& ANode);
    // Appends "chtl"; optional attributes only when they hold something.
    void SaveToXml(pugi::xml_node RootNode) const;

    const std::string& Enabled() const { return FEnabled; }
    const std::string& VerticalPosition() const { return FVerticalPosition; }
    const std::string& HorizontalPosition() const { return FHorizontalPosition; }
    int32_t Width() const { return FWidth; }
    int32_t Height() const { return FHeight; }
    int32_t FontSize() const { return FFontSize; }
    bool FontBold() const { return FFontBold; }
    const std::string& TextColor() const { return FTextColor; }
    const std::string& Color() const { return FColor; }
    const std::string& ButtonClickAction() const { return FButtonClickAction; }

    void SetEnabled(const std::string& v) { FEnabled = v; }
    void SetVerticalPosition(const std::string& v) { FVerticalPosition = v; }
    void SetHorizontalPosition(const std::string& v) { FHorizontalPosition = v; }
    void SetWidth(int32_t v) { FWidth = v; }
    void SetHeight(int32_t v) { FHeight = v; }
    void SetFontSize(int32_t v) { FFontSize = v; }
    void SetFontBold(bool v) { FFontBold = v; }
    void SetTextColor(const std::string& v) { FTextColor = v; }
    void SetColor(const std::string& v) { FColor = v; }
    void SetButtonClickAction(const std::string& v) { FButtonClickAction = v; }

private:
    std::string FEnabled;
    std::string FVerticalPosition;
    std::string FHorizontalPosition;
    int32_t FWidth = -1;
    int32_t FHeight = -1;
    int32_t FFontSize = -1;
    bool FFontBold = false;
    std::string FTextColor;
    std::string FColor;
    std::string FButtonClickAction;
};

// The workstation configuration: "guard.ini" (encrypted XML) in the agent
// data folder, with the server address and password hash backed up in the
// registry.
//
// Readers on any thread get copies taken under a short value lock, and an
// update is applied to a copy and committed whole, so nobody sees a torn
// text or half an update. Init, FillAndSave, the loads and the saves are
// serialised by a second lock that is held for the whole operation.
class TSettings {
public:
    static constexpr const char* SettingsFileName = "guard.ini";
    // Key material of the settings file.
    static constexpr const char* SettingsFileKey = "tide_lamps";
    // ServerURI while ServerUrl is blank.
    static constexpr const char* FallbackServerURI = "http://127.0.0.1/korvane";
    // The password the manager offers until one is typed in.
    static constexpr const char* DefaultConnectionPassword = "harbour";

    using TNotifyEvent = std::function<void(TSettings& Sender)>;

    TSettings();
    ~TSettings();
    TSettings(const TSettings&) = delete;
    TSettings& operator=(const TSettings&) = delete;

    // Load from disk; when that fails (or fromDisk is false: a file nobody
    // can vouch for), the defaults plus the registry backup.
    void Init(bool fromDisk = true);
    bool LoadFromDisk();
    bool LoadFromFile(const std::string& AFileName);
    // The agent's own file; creates the data folder when it is missing.
    bool SaveSettings();
    // Writes a temporary file beside AFileName and moves it over AFileName,
    // so the old file stays whole when anything fails. False when the new
    // content did not end up in AFileName.
    bool SaveSettings(const std::string& AFileName);
    // Appends the setting elements, in file order, to rootnode.
    void SaveSettings(pugi::xml_node rootnode) const;

    // Parses the text and applies its root element as an ordinary update.
    // Raises on text that isn't XML and on values that don't convert.
    void FillSettings(const std::string& Str);
    // Applies the child elements of ANode. Raises ESettingsValueError on a
    // value that doesn't convert; the settings are then left as they were.
    void FillSettings(const pugi::xml_node& ANode, bool IsAdditionalSettings);
    // The server's "settings" and "sl_settings" (either may be null), applied
    // as one update and saved. A conversion error reaches the caller and
    // nothing is applied or saved.
    void FillAndSave(const pugi::xml_node& ANode1, const pugi::xml_node& ANode2);

    void SetDefaults();
    void RestoreFromRegistry();
    // Recomputes ServerURI from AURI (ServerUrl itself is left alone).
    void UpdateServerUrl(const std::string& AURI);

    // The agent's own settings file.
    static std::string SettingsFilePath();

    std::string ServerUrl() const;
    void SetServerUrl(const std::string& value);
    std::string ServerURI() const;
    int32_t ListenerPort() const;
    void SetListenerPort(int32_t value);
    int32_t IMAlivePeriod() const;
    void SetIMAlivePeriod(int32_t value);
    int32_t NetworkOutageTimeout() const;
    void SetNetworkOutageTimeout(int32_t value);
    int32_t BannerTimeout() const;
    void SetBannerTimeout(int32_t value);
    bool LockOnNetworkFailure() const;
    void SetLockOnNetworkFailure(bool value);
    std::string PasswordHash() const;
    void SetPasswordHash(const std::string& value);
    std::string MachineName() const;
    void SetMachineName(const std::string& value);
    std::string RoomName() const;
    void SetRoomName(const std::string& value);
    std::string InactivityTime() const;
    // Fires OnInactivityTimeChanged when the text changes.
    void SetInactivityTime(const std::string& value);
    std::string InactivityFormShowTime() const;
    void SetInactivityFormShowTime(const std::string& value);
    int32_t IdleTimeoutAction() const;
    void SetIdleTimeoutAction(int32_t value);
    bool UseWebsockets() const;
    void SetUseWebsockets(bool value);
    int32_t WebsocketTimeout() const;
    void SetWebsocketTimeout(int32_t value);
    std::string LoginScreenMessage() const;
    void SetLoginScreenMessage(const std::string& value);
    bool EnableSessionLimit() const;
    void SetEnableSessionLimit(bool value);
    bool SessionLimitOnly4Nonadmins() const;
    void SetSessionLimitOnly4Nonadmins(bool value);
    std::string BypassAccounts() const;
    void SetBypassAccounts(const std::string& value);
    // A copy: the button settings may be dropped by the next update.
    std::optional<TChtlButtonSettings> ChtlButtonSettings() const;

    void SetOnInactivityTimeChanged(TNotifyEvent handler);

    // Servlet addresses under ServerURI.
    std::string GuardServerURL() const;
    std::string BannerServletURL() const;
    std::string UpdateURL() const;
    std::string AutoLogonInfoURL() const;
    std::string CheckUserURL() const;

private:
    struct TValues {
        std::string FServerUrl;
        std::string _serverUri = FallbackServerURI;
        int32_t FListenerPort = 0;
        int32_t FIMAlivePeriod = 0;
        int32_t FNetworkOutageTimeout = 0;
        int32_t FBannerTimeout = 0;
        bool FLockOnNetworkFailure = false;
        std::string FPasswordHash;
        std::string FMachineName;
        std::string FRoomName;
        std::string FInactivityTime;
        std::string FInactivityFormShowTime;
        int32_t FIdleTimeoutAction = 0;
        bool FUseWebsockets = false;
        int32_t FWebsocketTimeout = 0;
        std::string FLoginScreenMessage;
        bool FEnableSessionLimit = false;
        bool FSessionLimitOnly4Nonadmins = false;
        std::string FBypassAccounts;
        std::optional<TChtlButtonSettings> FChtlButtonSettings;
    };

    TValues Snapshot() const;
    // Swaps the values in and fires the change event when InactivityTime moved.
    void Commit(TValues&& next);
    static void SetServerUrlIn(TValues& v, const std::string& value);
    static void ApplyDefaults(TValues& v);
    static void Apply(TValues& v, const pugi::xml_node& ANode, bool IsAdditionalSettings);
    static void Render(const TValues& v, pugi::xml_node rootnode);
    bool LoadFile(const std::string& fileName, const std::string& errorPrefix);
    std::string ServletURL(const char* name) const;

    // Serialises Init, the loads, updates and saves; recursive because
    // FillAndSave and Init call the others.
    std::recursive_mutex FLock;
    mutable std::mutex FValueLock;
    TValues FValues;
    TNotifyEvent FOnInactivityTimeChanged;
};

}  // namespace qz
