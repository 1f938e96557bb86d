#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include <pugixml.hpp>

#include "common/Crypto.h"
#include "monitor/LicenseManagerData.h"
#include "monitor/ProcessTemplate.h"
#include "protocol/PingServer.h"

namespace qz {

class TSettings;
class TLocker;
class TGuardEventsInfo;
class TUserCache;

// What the state documents draw on beyond the protocol state itself. The main
// service fills it; tests stage it.
struct TAppStateContext {
    TSettings* Settings = nullptr;
    TLocker* Locker = nullptr;
    TGuardEventsInfo* GuardEvents = nullptr;
    TUserCache* UserCache = nullptr;
    std::string AgentVersion;
    std::string OSVersion;
    bool Is64BitOS = false;
    bool RealMultiSession = false;
    std::string VDIType = "none";
    bool SupportMultipleSessions = false;
    // The file-log level, or -1 when file logging is off.
    std::function<int32_t()> LogLevel;
    std::function<std::string()> BannerUpdateTime;
    std::function<double()> Now;
    // Rows and sections whose components live elsewhere; unset ones are logged and skipped.
    std::function<void(const pugi::xml_node&)> Banners, Update, AppCtrlStates, LockStates;
    std::function<void(pugi::xml_node&)> SaveSessions;
    std::function<bool()> SessionsNeedRelock;
};

// The agent's side of the conversation: the heartbeat document out, the
// server's control state in.
class TApplicationState : public IHeartbeatState {
public:
    explicit TApplicationState(TAppStateContext context);
    // Filled in by the owner once the components exist.
    TAppStateContext& Context() { return FCtx; }

    // ---- outbound ----
    std::string CreateResponse(bool& NoChangeValue) override;
    void CollectActiveState(pugi::xml_node& AParentNode);

    // ---- inbound ----
    bool ProcessState(const std::string& AState) override;
    void ProcessControlState(const pugi::xml_node& ANode, bool IsCommand);
    void ProcessApps(const pugi::xml_node& ANode);
    void ProcessApplications(const pugi::xml_node& ANode);
    void ResetApplication() override;
    // Applies the saved "guard.data" at start; false when there is none or it can't be read.
    bool ReadSavedList();

    // ---- heartbeat ----
    bool AppInitialized() const override { return FAppInitialized; }
    void SetAppInitialized(bool value) override { FAppInitialized = value; }
    void SetNeedAddGuardPort(bool value) override { FNeedAddGuardPort = value; }
    void SetPacketId(const std::string& id) override;
    std::string PacketId() const override;
    TBytes ConnectionPassword() const override;
    std::string NoChangeCode() const override;
    std::string ReceivedResponse() const override;
    void SetReceivedResponse(const std::string& text);

    std::string PacketVersion() const;
    bool CanUseNoChangeMode() const;
    std::string SettingsUpdateTime() const;
    std::string AppCacheUpdateTime() const;
    std::string SettingLimitSettingsUpdateTime() const;
    TLicenseManagerData& LMData() { return *FLMData; }
    // A copy of the templates last received, for a new user session's lists.
    TProcessTemplateList AppCacheCopy() const;
    // The lock that keeps a heartbeat reply and a command's control state apart.
    std::recursive_mutex& StateLock() const { return FLock; }

    // The stored application list, "guard.data".
    static std::string AppListFile();

private:
    // A copy of one field, taken under the state lock.
    template <typename T>
    T Locked(const T& field) const {
        std::lock_guard<std::recursive_mutex> lock(FLock);
        return field;
    }
    bool NeedsAdminRelock();
    void ProcessAppList(const pugi::xml_node& ANode);

    TAppStateContext FCtx;
    mutable std::recursive_mutex FLock;
    std::atomic<bool> FAppInitialized{false};
    TBytes FConnectionPassword;
    std::atomic<bool> FNeedAddGuardPort{false};
    TProcessTemplateList FAppCache;
    std::string FSettingsUpdateTime;
    std::string FAppCacheUpdateTime;
    std::string FSettingLimitSettingsUpdateTime;
    std::string FPacketId;
    std::string FPacketVersion;
    std::string FReceivedResponse;
    std::unique_ptr<TLicenseManagerData> FLMData;
    std::string _oldXML;
    std::string _currentAppCache;
    bool FCanUseNoChangeMode = false;
    std::string FNoChangeCode;
};

// Versions of the server protocol compare as text.
inline bool VersionAtLeast(const std::string& version, const char* threshold) {
    return version.compare(threshold) >= 0;  // "" is below every threshold
}

}  // namespace qz
