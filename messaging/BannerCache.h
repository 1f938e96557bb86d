#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <pugixml.hpp>

namespace qz {

class THttpTransport;
class TSettings;

// What a banner list may cost; beyond it banners are skipped.
struct TBannerLimits {
    size_t banners = 16;
    uint64_t bannerBytes = 16u << 20;
    uint64_t totalBytes = 64u << 20;
    uint32_t firstRetryMs = 60 * 1000;      // a failed banner's first pause, doubled at each failure
    uint32_t lastRetryMs = 60 * 60 * 1000;  // up to this
};

// Local copies of the banner pictures the guard server publishes, kept in
// step with its list in the data folder's "Banners", and the list's version
// stamp for the state document.
//
// A list is taken at once; its downloads run on a worker thread that lives
// only while there is something to fetch, so the caller (who holds the
// application state's lock) never waits on a banner host. A banner that
// fails is tried again after a pause that doubles, not on every heartbeat.
class TBannerCache {
public:
    // The settings give the banner address and its time-out; the transport
    // is replaceable for tests.
    explicit TBannerCache(const TSettings& settings, std::shared_ptr<THttpTransport> transport = nullptr,
                          TBannerLimits limits = {});
    // Stops the worker.
    ~TBannerCache();
    TBannerCache(const TBannerCache&) = delete;
    TBannerCache& operator=(const TBannerCache&) = delete;

    void Init();
    // Takes the server's list and hands its downloads to the worker.
    void LoadFromXML(const pugi::xml_node& ANode);
    std::string GetNextBanner();
    void SaveToXML(pugi::xml_node& ANode);
    std::string BannersUpdateTime();
    // Cuts a download short, joins the worker and takes no more lists.
    void Stop();
    // Waits until the worker has nothing left to do (tests).
    bool WaitIdle(uint32_t timeoutMs);

    static std::string BannersFolder();  // with a trailing separator

private:
    struct TLocalFile {
        std::string id, name;
        uint64_t size = 0;
    };
    struct TList {
        std::string stamp;
        std::vector<std::string> ids;
        bool operator==(const TList& o) const { return stamp == o.stamp && ids == o.ids; }
    };
    struct TRetry {
        uint64_t dueMs = 0;
        uint32_t delayMs = 0;
    };
    static std::vector<TLocalFile> LocalScan();
    bool Download(const std::string& id, uint64_t maxBytes, uint64_t& got);
    void Run();
    bool Apply(const TList& list);  // true when every banner taken is there
    bool RetryDue(const TList& list, uint64_t now) const;  // _cs held
    void Finish();                                          // _cs held

    const TSettings& FSettings;
    std::shared_ptr<THttpTransport> FTransport;
    const TBannerLimits FLimits;
    std::mutex _cs;            // everything below but the stamp
    std::mutex FStampLock;     // the stamp alone
    std::condition_variable FIdle;
    std::vector<std::string> FBanners;
    size_t FCurrentIndex = 0;
    std::optional<TList> FWanted;   // the last list received
    uint64_t FGeneration = 0;       // counts the lists received
    std::optional<TList> FApplied;  // the last list the worker went through
    std::map<std::string, TRetry> FRetries;
    bool FBusy = false, FStopped = false;
    std::thread FWorker;
    std::string FBannersUpdateTime = "0";
};

}  // namespace qz
