#pragma once
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <pugixml.hpp>

namespace qz {

class TGuardEventsInfo;
class THttpTransport;
class TSettings;

// What the update manager needs from around it; the defaults are the real ones.
struct TUpdateHooks {
    // Runs fn once after delayMs (the agent hands its main loop here); unset,
    // fn runs at once on the caller's thread.
    std::function<void(uint32_t delayMs, std::function<void()> fn)> Later;
    // Starts the installer hidden; false with the system's error text when it can't.
    std::function<bool(const std::string& commandLine, std::string& error)> Launch;
    // A fresh HTTP client for each download.
    std::function<std::shared_ptr<THttpTransport>()> NewTransport;
    // The pause before retrying a download (the randomised heartbeat period).
    std::function<uint32_t()> RetryDelayMs;
    uint32_t WaitBeforeMs = 15000;   // spreads the load when every station gets the offer at once
    uint32_t DeleteAfterMs = 30000;  // the installer's removal after a start that found its outcome
};

// Self-update: takes the server's offer, downloads the installer into the
// data folder's "Update", starts it silently and, at the next start, reports
// what became of it.
class TUpdateManager {
public:
    static constexpr uint64_t MaxInstallerBytes = 512ull << 20;

    TUpdateManager(const TSettings& settings, TGuardEventsInfo& events, TUpdateHooks hooks = {});
    // Stops the downloads under way and waits for their threads.
    ~TUpdateManager();
    TUpdateManager(const TUpdateManager&) = delete;
    TUpdateManager& operator=(const TUpdateManager&) = delete;

    void LoadFromXML(const pugi::xml_node& ANode);
    void LoadFromDisk();
    static std::string GetUpdateFolder();  // without a trailing separator

    std::string UpdateId();
    std::string UpdateFile();
    // Waits until no download runs (tests).
    bool WaitIdle(uint32_t timeoutMs);

private:
    struct TUpdateThread;
    void Execute(TUpdateThread& t);
    bool Pause(TUpdateThread& t, uint32_t ms);
    void StopAll();
    void Reap();

    const TSettings& FSettings;
    TGuardEventsInfo& FEvents;
    TUpdateHooks FHooks;
    std::mutex FLock;
    std::condition_variable FWake;
    std::string FUpdateId, FUpdateFile;
    std::vector<std::unique_ptr<TUpdateThread>> FThreads;
};

}  // namespace qz
