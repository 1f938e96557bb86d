#include "service/MainService.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <mutex>
#include <stdexcept>

#include "commands/CommandProcessor.h"
#include "commands/ComputerInfo.h"
#include "commands/UpdateManager.h"
#include "commands/WebServer.h"
#include "common/EventLogger.h"
#include "common/FileLogController.h"
#include "common/MainThread.h"
#include "common/Settings.h"
#include "common/Text.h"
#include "common/SocketError.h"
#include "common/Logger.h"
#include "common/Utils.h"
#include "common/WinUtils.h"
#include "messaging/BannerCache.h"
#include "messaging/Messenger.h"
#include "monitor/LicenseManager.h"
#include "monitor/VersionInfo.h"
#include "protocol/AppState.h"
#include "protocol/GuardEventsInfo.h"
#include "protocol/PingServer.h"
#include "protocol/SocketConnector.h"
#include "platform/Errors.h"
#include "platform/Registry.h"
#include "platform/Clock.h"
#include "platform/Sessions.h"
#include "platform/SystemInfo.h"
#include "sessions/CustomLoginProcessor.h"
#include "sessions/Locker.h"
#include "sessions/SessionLimits.h"
#include "sessions/LoginHandler.h"
#include "sessions/UserCache.h"
#include "sessions/PowerUtils.h"
#include "sessions/UserSessions.h"

namespace qz {

namespace {

std::mutex& SingletonLock() {
    static std::mutex* lock = [] {
        std::srand(static_cast<unsigned>(std::time(nullptr)));
        return new std::mutex;
    }();
    return *lock;
}

// Atomic: the first test runs outside the lock on every thread.
std::atomic<TMainService*> g_instance{nullptr};
std::shared_ptr<THttpTransport> g_testTransport;

constexpr const char* kStopSignal =
    "<?xml version=\"1.0\"?><request><command><name>i_am_turning_off</name></command></request>";

}  // namespace

TMainService::TMainService() { throw std::runtime_error("Access class TMainService through Instance only"); }

TMainService* TMainService::AccessInstance(int request) {
    switch (request) {
        case 0: break;
        case 1:
            if (!g_instance.load(std::memory_order_acquire)) {
                std::lock_guard<std::mutex> lock(SingletonLock());
                if (!g_instance.load(std::memory_order_relaxed))
                    g_instance.store(CreateInstance(), std::memory_order_release);
            }
            break;
        case 2: g_instance.store(nullptr, std::memory_order_release); break;
        default: throw std::runtime_error("Illegal request " + std::to_string(request) + " in AccessInstance");
    }
    return g_instance.load(std::memory_order_acquire);
}

TMainService* TMainService::Instance() { return AccessInstance(1); }

void TMainService::ReleaseInstance() { delete AccessInstance(0); }

void TMainService::SetTransportForTests(std::shared_ptr<THttpTransport> transport) {
    g_testTransport = std::move(transport);
}

TMainService* TMainService::CreateInstance() { return new TMainService(CreateTag{}); }

TMainService::TMainService(CreateTag) {
    TLogger::Fine("Creating everything");
    // Created first: logon handling may pulse the heartbeat before Start.
    hEvent = std::make_unique<TEvent>();
    hResponseReceivedEvent = std::make_unique<TEvent>();
    try {
        hStartedEvent = platform::sys::CreateNamedEvent(StartedEventName, false, false);
        TLogger::Fine("Event created " + std::to_string(hStartedEvent));
    } catch (const std::exception& e) {
        // Another program may hold the name; the agent works without the signal.
        TLogger::Warning(std::string("Cannot create started event. Reason - ") + e.what());
    }
    FStoped = true;
    FSettings = std::make_unique<TSettings>();  // loaded at Start
    FStationType = TTSUtils::GetStationType();
    FSupportMultipleSessions = FStationType != TStationType::stRegular;
    TLogger::Fine(std::string("Support multiple sessions - ") + BoolTitleText(FSupportMultipleSessions));
    FProgramFolder = ExtractFilePath(platform::sys::ModulePath());
    FCustomAuthentificationEnabled =
        std::filesystem::exists(ToFsPath(FProgramFolder + "authorize.dll"));
    FEnableSessionLimit = false;
    FRealMultiSession = TTSUtils::IsTSEnabled();
    FVDIType = TTSUtils::GetVDIType();
    TLogger::Fine(std::string("Custom logon enabled -") + BoolTitleText(FCustomAuthentificationEnabled));
    FLocker = std::make_unique<TLocker>();
    T10054SocketError::Instance()->Start();
    FAppState = std::make_unique<TApplicationState>(TAppStateContext{});
    // Made before the components that look sessions up (metering, logons).
    if (FSupportMultipleSessions)
        FUserSessions = std::make_unique<TUserSessionsList>(FStationType, [this] { return FAppState->AppCacheCopy(); });
    // The journal records into the user cache, so the cache comes first.
    FUserCache = std::make_unique<TUserCache>(FSupportMultipleSessions);
    FGuardEvents = std::make_unique<TGuardEventsInfo>(*FUserCache, FSupportMultipleSessions);
    // The command server: listening from Start. Its processor and messenger
    // are wired below, once everything they drive exists.
    FMessageCache = std::make_unique<TMessageCache>();
    TPingServerThread::Hooks hooks;
    hooks.config = [this] {
        THeartbeatConfig c;
        c.UseWebsockets = FSettings->UseWebsockets();
        c.WebsocketTimeout = static_cast<uint32_t>(std::max(0, FSettings->WebsocketTimeout()));
        c.IMAlivePeriod = static_cast<uint32_t>(std::max(0, FSettings->IMAlivePeriod()));
        c.NetworkOutageTimeout = static_cast<uint32_t>(std::max(0, FSettings->NetworkOutageTimeout()));
        c.LockOnNetworkFailure = FSettings->LockOnNetworkFailure();
        c.Server = ServerParamsOf(*FSettings);
        return c;
    };
    hooks.onMainThread = [](const std::function<void()>& fn) { TMainThreadQueue::Instance().Synchronize(fn); };
    hooks.lockConsole = [this] { FLocker->SetLocked(lsLocked); };
    {
        TSocketConnectorDeps w;
        w.GuardUrl = [this] { return FSettings->GuardServerURL(); };
        w.ConnectionPassword = [this] { return FAppState->ConnectionPassword(); };
        w.UseWebsockets = [this] { return FSettings->UseWebsockets(); };
        w.Stopping = [this] { return FStopRequested.load(); };
        w.PacketId = [this] { return FAppState->PacketId(); };
        w.SetReceivedResponse = [this](const std::string& r) { FAppState->SetReceivedResponse(r); };
        w.ResponseReceived = hResponseReceivedEvent.get();
        // Requests the server pushes over the socket go where the command port's go.
        w.HandleServerRequest = [this](const TBytes& request) { return FWebServer->DoHandleServerRequest(request); };
        FSocketConnector = std::make_unique<TSocketConnector>(w);
        hooks.websocket = FSocketConnector.get();
    }
    FPinger = std::make_unique<TPingServerThread>(*FAppState, hooks, *hEvent, *hResponseReceivedEvent, g_testTransport);
    TLicenseManagerThread::Deps metering;
    metering.StationData = &FAppState->LMData();
    metering.GuardEvents = FGuardEvents.get();
    metering.News = hEvent.get();
    metering.Sessions = FUserSessions.get();
    FLicenseManager = std::make_unique<TLicenseManagerThread>(metering);
    if (FCustomAuthentificationEnabled) {
        FCustomEventLog = std::make_unique<TEventLogger>("Tallisto Client");
        TCustomLoginProcessor::Deps d;
        d.GuardEvents = FGuardEvents.get();
        d.Wake = [this] { hEvent->Pulse(); };
        d.ReportEvent = [this](uint32_t id, const std::string& text) {
            FCustomEventLog->LogMessage(text, platform::eventlog::TypeInformation, 0, id);
        };
        FCustomLoginProcessor = std::make_unique<TCustomLoginProcessor>(d);
    }
    FLoginHandler = std::make_unique<TLoginHandler>(
        TLoginHandler::Deps{FLocker.get(), FGuardEvents.get(), hEvent.get(), FUserSessions.get()});
    {
        TMessengerContext m;
        m.SupportMultipleSessions = FSupportMultipleSessions;
        m.Win8Family = IsWin8Family();
        m.Sessions = FUserSessions.get();
        m.Cache = FMessageCache.get();
        m.ListenerPort = [this] { return FSettings->ListenerPort(); };
        m.ProgramFolder = FProgramFolder;
        // Each message is quick work: the main loop does it instead of a thread of its own.
        m.Run = [](std::function<void()> work) { TMainThreadQueue::Instance().Post(std::move(work)); };
        FMessenger = std::make_unique<TMessenger>(m);
        auto showMessage = [this](const std::string& text, const std::string& title, const std::string& host,
                                  int32_t id) { FMessenger->ShowMessage(text, title, host, id); };
        TSessionLimitDeps limits;
        limits.ShowMessage = showMessage;
        limits.ResolveTarget = [this](const std::string& host) {
            if (FUserSessions)
                if (const TUserSessionPtr s = FUserSessions->GetUserSessionByHostname(host)) return s->FSessionId;
            return TPowerUtils::GetActiveSessionId();
        };
        FSessionLimitManager = std::make_unique<TSessionLimitManager>(limits);
        FMessageLogoutManager = std::make_unique<TMessageLogoutManager>("", -1);
        TCommandContext c;
        c.AppState = FAppState.get();
        c.GuardEvents = FGuardEvents.get();
        c.Settings = FSettings.get();
        c.SupportMultipleSessions = FSupportMultipleSessions;
        c.Sessions = FUserSessions.get();
        c.ResponseReceived = hResponseReceivedEvent.get();
        c.SetLogLevel = [this](int32_t level) {
            if (FFileLogControllerThread) FFileLogControllerThread->SetLogLevel(level);
        };
        c.ShowMessage = showMessage;
        c.Locker = FLocker.get();
        if (FCustomLoginProcessor) {
            c.Custom.LoginUser = [this](const std::string& login) { FCustomLoginProcessor->LoginUser(login, login); };
            c.Custom.LogoutUser = [this] { FCustomLoginProcessor->LogoutUser(); };
            c.Custom.StopSessionLimit = [this] { FSessionLimitManager->StopSessionLimitThread(); };
        }
        FCommandProcessor = std::make_unique<TCommandProcessor>(c);
        TWebServerModule::Deps w;
        w.Processor = FCommandProcessor.get();
        w.AppState = FAppState.get();
        w.TakeMessage = [this](const std::string& id) { return FMessageCache->GetMessageById(id); };
        FWebServer = std::make_unique<TWebServerModule>(w);
    }
    TLogger::Fine("Finished creating everything ");
    const std::string version = TrpVersionInfo().FileVersion();
    TLogger::Info("Guard Version is " + version);
    try {
        TLogger::Info(TComputerInfo::PrintAllInfo());
    } catch (const std::exception& e) {
        // A report is no reason for the agent not to run.
        TLogger::Warning(std::string("Error building the computer info - ") + e.what());
    }
    FBannerCache = std::make_unique<TBannerCache>(*FSettings);
    {
        TUpdateHooks u;
        // The installer's removal after start-up is one small job on the main loop.
        u.Later = [](uint32_t delayMs, std::function<void()> fn) {
            TMainThreadQueue::Instance().Schedule([delayMs, fn, waited = false]() mutable -> uint32_t {
                if (!waited) {
                    waited = true;
                    return std::max<uint32_t>(delayMs, 1);
                }
                fn();
                return 0;
            });
        };
        FUpdateManager = std::make_unique<TUpdateManager>(*FSettings, *FGuardEvents, u);
    }
    // Then the websocket channel.
    InitOSVersion();
    WriteARSOSetting();

    TAppStateContext& ctx = FAppState->Context();
    ctx.Settings = FSettings.get();
    ctx.Locker = FLocker.get();
    ctx.GuardEvents = FGuardEvents.get();
    ctx.UserCache = FUserCache.get();
    ctx.AgentVersion = version;
    ctx.OSVersion = FOSVersion;
    ctx.Is64BitOS = FIs64BitOS;
    ctx.RealMultiSession = FRealMultiSession;
    ctx.VDIType = FVDIType.empty() ? "none" : FVDIType;
    ctx.SupportMultipleSessions = FSupportMultipleSessions;
    ctx.LogLevel = [this] { return FFileLogControllerThread ? FFileLogControllerThread->GetLogLevel() : -1; };
    ctx.BannerUpdateTime = [this] { return FBannerCache->BannersUpdateTime(); };
    ctx.Banners = [this](const pugi::xml_node& n) { FBannerCache->LoadFromXML(n); };
    ctx.Update = [this](const pugi::xml_node& n) { FUpdateManager->LoadFromXML(n); };
    if (FUserSessions) {
        TUserSessionsList* sessions = FUserSessions.get();
        ctx.SaveSessions = [sessions](pugi::xml_node& root) { sessions->SaveToXML(root); };
        ctx.SessionsNeedRelock = [sessions] { return sessions->AnyNeedsRelock(); };
        // Called while the state applies a reply, so its cache is the one just received.
        ctx.AppCtrlStates = [this, sessions](const pugi::xml_node& n) {
            sessions->ApplyAppCtrlStates(n, FAppState->AppCacheCopy());
        };
        ctx.LockStates = [sessions](const pugi::xml_node& n) { sessions->ApplyLockStates(n); };
    }
}

TMainService::~TMainService() {
    // The threads use the state, settings and journal: they end before those go.
    if (FPinger) {
        FPinger->Terminate();
        FPinger->WaitFor();
    }
    // The websocket channel hands requests to the command server: it goes first.
    FSocketConnector.reset();
    // The command server next: its requests drive everything else.
    FWebServer.reset();
    FCommandProcessor.reset();
    FSessionLimitManager.reset();  // cancels a countdown; it warns through the messenger
    FMessageLogoutManager.reset();
    FMessenger.reset();
    // Users of a component go before it: the journal records into the user cache.
    FPinger.reset();
    FLicenseManager.reset();  // ends its passes on the main loop
    FLoginHandler.reset();
    FUpdateManager.reset();  // stops a download; it reports into the journal
    FBannerCache.reset();  // joins its worker
    FUserSessions.reset();
    FAppState.reset();
    FGuardEvents.reset();
    FUserCache.reset();
    FSettings.reset();
    FLocker.reset();
    FCustomLoginProcessor.reset();
    FCustomEventLog.reset();
    FMessageCache.reset();
    TWMIInfo::ReleaseInstance();
    if (hStartedEvent) platform::sys::CloseNamedEvent(hStartedEvent);
    if (AccessInstance(0) == this) AccessInstance(2);
}

void TMainService::InitOSVersion() {
    const auto v = platform::sys::GetOsVersion();
    FOSVersion = std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.build);
    if (v.major > 5 || (v.major == 5 && v.minor >= 1)) {
        const auto arch = platform::sys::NativeProcessorArchitecture();
        FIs64BitOS = arch && *arch == platform::sys::ProcessorArchitectureAmd64;
    }
}

void TMainService::WriteARSOSetting() {
    try {
        const platform::reg::Key key{platform::reg::Hive::LocalMachine,
                                     "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Policies\\System",
                                     platform::reg::View::Default};
        platform::reg::SetDWord(key, "DisableAutomaticRestartSignOn", 1);
    } catch (const std::exception& e) {
        TLogger::Fine(std::string("Error writing ARSO parameter to registry - ") + e.what());
    }
}

void TMainService::Start() {
    std::lock_guard<std::mutex> lifecycle(FLifecycleLock);
    if (FStopRequested) {
        TLogger::Fine("Start skipped: the service is stopping");
        return;
    }
    if (FStoped) {
        FStoped = false;
        TLogger::Fine("Starting everything");
        // Anyone may have planted what lies in a folder that couldn't be secured.
        FSettings->Init(FDataFolderSecured);
        FEnableSessionLimit = FSettings->EnableSessionLimit();
        try {
            if (FUpdateFolderSecured) FUpdateManager->LoadFromDisk();
        } catch (const std::exception& e) {
            // A damaged marker must not keep the agent from starting.
            TLogger::Warning(std::string("Update manager load from disk error - ") + e.what());
        }
        FPinger->Resume();
        if (FDataFolderSecured) FAppState->ReadSavedList();
        FWebServer->Start(*FSettings);  // the agent goes on without it when the port is taken
        try {
            FBannerCache->Init();
        } catch (const std::exception& e) {
            TLogger::Warning(std::string("Banner cache init error - ") + e.what());
        }
        if (FCustomAuthentificationEnabled && TUtils::ReadRegistryKey("NoLockAtStartup") != "1") {
            std::string user;
            if (AuthDllFunctions::LocalAdminAutoUnlockScreen(FProgramFolder) &&
                TLicenseManagerThread::IsCurrentUserAdmin(user)) {
                const std::string account = user.substr(user.find_last_of('\\') + 1);
                FCustomLoginProcessor->LoginUser(account, account);
            } else {
                FLocker->SetCustomUserLogginned(false);
            }
        }
        try {
            if (TUtils::ReadRegistryKey("FirstRun") == "1") {
                platform::reg::CreateKey(AgentKey());
                platform::reg::DeleteValue(AgentKey(), "NoLockAtStartup");
                platform::reg::DeleteValue(AgentKey(), "FirstRun");
            }
        } catch (const std::exception& e) {
            TLogger::Warning(std::string("Error clearing the first-run values - ") + e.what());
        }
        FLicenseManager->RunOnMainLoop();
        LogonActiveSessions();
        TLogger::Fine("All launching has finished");
    }
    if (hStartedEvent && !platform::sys::SetNamedEvent(hStartedEvent))
        TLogger::Fine("Cannot set started event. Reason - " + platform::SystemErrorText(platform::LastErrorCode()));
}

void TMainService::LogonActiveSessions() {
    if (!FSupportMultipleSessions) {
        const uint32_t id = TPowerUtils::GetActiveSessionId();
        TLogger::Fine("!Session id=" + std::to_string(static_cast<int32_t>(id)));
        if (id != TPowerUtils::NoSession) HandleSessionLogon(id);
        return;
    }
    auto sessions = platform::wts::EnumerateSessions();
    if (!sessions) return;
    for (const auto& s : *sessions)
        if (s.state == platform::wts::StateActive) HandleSessionLogon(s.id);
}

void TMainService::HandleSessionLogon(uint32_t sessionId) {
    TLogger::Fine("Somebody logon. Session Id=" + std::to_string(sessionId));
    const std::string fqn = platform::wts::QuerySessionString(sessionId, platform::wts::WTSDomainName).value_or("") +
                            "\\" + platform::wts::QuerySessionString(sessionId, platform::wts::WTSUserName).value_or("");
    TLogger::Info("Logon:  FQN=" + fqn);
    if (fqn == "\\") return;
    platform::sec::TokenHandle token = 0;
    try {
        token = platform::wts::QueryUserToken(sessionId);
    } catch (const std::exception& e) {
        TLogger::Info(std::string("Can not get token ") + e.what());
        return;
    }
    const bool isAdmin = TWinUtils::IsAdminByToken(token);
    if (FUserSessions) {
        const TUserSessionPtr session = FUserSessions->AddUserSession(sessionId, fqn);
        TLogger::Fine(session->ToString());
        FLoginHandler->LoginUser(fqn, isAdmin, session->FHostname);
    } else {
        FLoginHandler->LoginUser(fqn, isAdmin, "");
    }
}

bool TMainService::SessionHasUser(uint32_t sessionId) {
    return !platform::wts::QuerySessionString(sessionId, platform::wts::WTSUserName).value_or("").empty();
}

void TMainService::SessionChanged(uint32_t eventType, uint32_t sessionId) {
    TLogger::Fine("Session changed event - " + TTSUtils::GetSessionEventName(eventType) + " (session id - " +
                  std::to_string(static_cast<int32_t>(sessionId)) + ")");
    switch (eventType) {
        case platform::wts::RemoteConnect:
            if (FSupportMultipleSessions && SessionHasUser(sessionId)) {
                TLogger::Fine("Remote login");
                HandleSessionLogon(sessionId);
            }
            break;
        case platform::wts::RemoteDisconnect:
            if (FSupportMultipleSessions && SessionHasUser(sessionId)) {
                TLogger::Fine("Remote disconnect!!!");
                std::string user;
                if (const TUserSessionPtr session = FUserSessions->GetUserSessionBySessionId(sessionId)) {
                    user = session->FUsername;
                    session->StopApplications(*FGuardEvents);
                } else {
                    TLogger::Fine("Session not found");
                }
                FLoginHandler->LogoutUser(user, sessionId);
            }
            break;
        case platform::wts::SessionLogon: HandleSessionLogon(sessionId); break;
        case platform::wts::SessionLogoff: {
            TLogger::Fine("Somebody logoffffffff " + std::to_string(sessionId));
            std::string user = FGuardEvents->UserName();
            if (FUserSessions)
                if (const TUserSessionPtr session = FUserSessions->GetUserSessionBySessionId(sessionId))
                    user = session->FUsername;
            FLoginHandler->LogoutUser(user, sessionId);
            break;
        }
        default: break;
    }
}

void TMainService::Stop() {
    FStopRequested = true;
    std::lock_guard<std::mutex> lifecycle(FLifecycleLock);
    if (FStoped) return;
    FStoped = true;
    TLogger::Fine("I am dying");
    SendStopSignal();
    // Terminating the heartbeat also ends the exchange it may be in, and the
    // metering ends after a pass under way, so the waits below are prompt.
    FLicenseManager->Terminate();
    FPinger->Terminate();
    FWebServer->Stop();
    FBannerCache->Stop();  // cuts a banner download short
    FLicenseManager->WaitFor();
    FPinger->WaitFor();
    // The channel follows the heartbeat: closed when it ends.
    FSocketConnector->SetNeedToReconnect(false);
    FSocketConnector->RefreshState();
    // A countdown display still waiting to start would outlive the service.
    TApplicationUtils::StopSLNotifiers();
    TApplicationUtils::StopUI();
    TLogger::Fine("I am completely dead");
}

void TMainService::SendStopSignal() {
    TRequestResult result = TRequestResult::rrError;
    const std::string reply =
        FPinger->Communicator().Communicate(kStopSignal, FAppState->ConnectionPassword(), "", ServerParamsOf(*FSettings),
                                            result, TExchangeBounds{StopSignalConnectMs, StopSignalReadMs});
    TLogger::Fine(RequestResultName(result));
    TLogger::Fine(reply);
}

}  // namespace qz
