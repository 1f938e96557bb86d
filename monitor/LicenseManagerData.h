#pragma once
#include <cstdint>
#include <mutex>
#include <vector>

#include "monitor/ProcessTemplate.h"

namespace qz {

// The metering lists of one scope: the station's console, or one user session
// of a multi-session host. Whoever needs both locks takes FCSServerLists first.
class TLicenseManagerData {
public:
    TLicenseManagerData() = default;
    TLicenseManagerData(const TLicenseManagerData&) = delete;
    TLicenseManagerData& operator=(const TLicenseManagerData&) = delete;

    // Observed templates := copies of the application cache, in order. The
    // caller keeps the cache from changing meanwhile.
    void InitFromAppState(const TProcessTemplateList& appCache);
    // Same, under FCSServerLists; for callers that don't hold it.
    void SetObservedApps(TProcessTemplateList apps);
    // Snapshots taken under the matching lock.
    TProcessTemplateList ObservedAppsCopy();
    std::vector<int32_t> RunningAppsCopy();

    std::mutex FCSServerLists;   // guards FObservedApps
    std::mutex FCSRunningApps;   // guards FRunningObservedApps
    TProcessTemplateList FObservedApps;
    // Ids of the observed applications running now, ascending, one per process.
    std::vector<int32_t> FRunningObservedApps;
};

}  // namespace qz
