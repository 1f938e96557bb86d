#pragma once
#include <cstdint>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "common/Event.h"
#include "platform/NamedEvents.h"
#include "sessions/TSUtils.h"

namespace qz {

class TFileLogControllerThread;
class TLoginHandler;
class TSettings;
class TLocker;
class TApplicationState;
class TGuardEventsInfo;
class TUserCache;
class TPingServerThread;
class THttpTransport;
class TLicenseManagerThread;
class TUserSessionsList;
class TMessageCache;
class TMessenger;
class TCommandProcessor;
class TWebServerModule;
class TSocketConnector;
class TBannerCache;
class TUpdateManager;
class TCustomLoginProcessor;
class TSessionLimitManager;
class TMessageLogoutManager;
class TEventLogger;

// The agent's composition root: owns every long-lived component.
class TMainService {
public:
    static constexpr const char* StartedEventName = "{14445279-3AFA-4BE0-9087-13F758991E6A}";

    // Always raises: the object is reached through Instance only.
    TMainService();
    ~TMainService();
    TMainService(const TMainService&) = delete;
    TMainService& operator=(const TMainService&) = delete;

    static TMainService* Instance();
    static void ReleaseInstance();
    // 0: current pointer, 1: construct on first use, 2: clear. Others raise.
    static TMainService* AccessInstance(int request);

    void Start();
    void Stop();
    void SendStopSignal();
    void SessionChanged(uint32_t eventType, uint32_t sessionId);
    void InitOSVersion();

    bool Stoped() const { return FStoped; }
    // How long the stop signal may take, so a stalled server can't hold up a stop.
    static constexpr uint32_t StopSignalConnectMs = 3000;
    static constexpr uint32_t StopSignalReadMs = 3000;
    bool CustomAuthentificationEnabled() const { return FCustomAuthentificationEnabled; }
    bool EnableSessionLimit() const { return FEnableSessionLimit; }
    bool SupportMultipleSessions() const { return FSupportMultipleSessions; }
    bool RealMultiSession() const { return FRealMultiSession; }
    const std::string& VDIType() const { return FVDIType; }
    const std::string& OSVersion() const { return FOSVersion; }
    bool Is64BitOS() const { return FIs64BitOS; }
    TLoginHandler* LoginHandler() const { return FLoginHandler.get(); }
    TSettings* Settings() const { return FSettings.get(); }
    TLocker* Locker() const { return FLocker.get(); }
    TApplicationState* AppState() const { return FAppState.get(); }
    TGuardEventsInfo* GuardEvents() const { return FGuardEvents.get(); }
    TUserCache* UserCache() const { return FUserCache.get(); }
    TPingServerThread* Pinger() const { return FPinger.get(); }
    TLicenseManagerThread* LicenseManager() const { return FLicenseManager.get(); }
    // Multi-session hosts only; null on single-user stations.
    TUserSessionsList* UserSessions() const { return FUserSessions.get(); }
    TWebServerModule* WebServer() const { return FWebServer.get(); }
    TMessageCache* MessageCache() const { return FMessageCache.get(); }
    TMessenger* Messenger() const { return FMessenger.get(); }
    // Only while custom authentication is enabled.
    TCustomLoginProcessor* CustomLoginProcessor() const { return FCustomLoginProcessor.get(); }
    TSessionLimitManager* SessionLimitManager() const { return FSessionLimitManager.get(); }
    // Tests route the guard-server requests elsewhere; set before Instance.
    static void SetTransportForTests(std::shared_ptr<THttpTransport> transport);
    TFileLogControllerThread* FileLogControllerThread() const { return FFileLogControllerThread; }
    void SetFileLogControllerThread(TFileLogControllerThread* t) { FFileLogControllerThread = t; }
    // Whether the data folder and "Update" could be secured; Start reads
    // nothing (settings, application list, update markers) from one that wasn't.
    void SetSecuredFolders(bool data, bool update) {
        FDataFolderSecured = data;
        FUpdateFolderSecured = update;
    }

    // Wake-ups. The events live as long as the service, so a thread still
    // waiting after Stop never touches a freed event.
    TEvent& Event() { return *hEvent; }
    TEvent& ResponseReceivedEvent() { return *hResponseReceivedEvent; }
    void PulseEvent() { hEvent->Pulse(); }

private:
    struct CreateTag {};
    explicit TMainService(CreateTag);
    static TMainService* CreateInstance();

    void WriteARSOSetting();
    void LogonActiveSessions();
    void HandleSessionLogon(uint32_t sessionId);
    bool SessionHasUser(uint32_t sessionId);

    bool FCustomAuthentificationEnabled = false;
    std::string FProgramFolder;  // the running program's folder, with its trailing separator
    bool FEnableSessionLimit = false;
    bool FDataFolderSecured = true;
    bool FUpdateFolderSecured = true;
    std::atomic<bool> FStoped{true};
    // Set by the first Stop, whether or not Start ran: a Start after it does nothing.
    std::atomic<bool> FStopRequested{false};
    // Keeps Start (main thread) and Stop (service thread) from overlapping.
    std::mutex FLifecycleLock;
    std::unique_ptr<TSettings> FSettings;
    std::unique_ptr<TLocker> FLocker;
    std::unique_ptr<TUserCache> FUserCache;
    std::unique_ptr<TApplicationState> FAppState;
    std::unique_ptr<TGuardEventsInfo> FGuardEvents;
    std::unique_ptr<TPingServerThread> FPinger;
    std::unique_ptr<TLoginHandler> FLoginHandler;
    std::unique_ptr<TUserSessionsList> FUserSessions;
    std::unique_ptr<TLicenseManagerThread> FLicenseManager;
    std::unique_ptr<TMessageCache> FMessageCache;
    std::unique_ptr<TMessenger> FMessenger;
    std::unique_ptr<TCommandProcessor> FCommandProcessor;
    std::unique_ptr<TWebServerModule> FWebServer;
    std::unique_ptr<TSocketConnector> FSocketConnector;
    std::unique_ptr<TBannerCache> FBannerCache;
    std::unique_ptr<TUpdateManager> FUpdateManager;
    std::unique_ptr<TEventLogger> FCustomEventLog;
    std::unique_ptr<TCustomLoginProcessor> FCustomLoginProcessor;
    std::unique_ptr<TSessionLimitManager> FSessionLimitManager;
    std::unique_ptr<TMessageLogoutManager> FMessageLogoutManager;
    std::string FOSVersion;
    bool FIs64BitOS = false;
    TStationType FStationType = TStationType::stRegular;
    bool FSupportMultipleSessions = false;
    bool FRealMultiSession = false;
    std::string FVDIType;
    TFileLogControllerThread* FFileLogControllerThread = nullptr;
    std::unique_ptr<TEvent> hEvent;
    std::unique_ptr<TEvent> hResponseReceivedEvent;
    platform::sys::EventHandle hStartedEvent = 0;
};

}  // namespace qz
