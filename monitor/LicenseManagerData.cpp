#include "monitor/LicenseManagerData.h"

namespace qz {

void TLicenseManagerData::InitFromAppState(const TProcessTemplateList& appCache) {
    SetObservedApps(CopyTemplates(appCache));
}

void TLicenseManagerData::SetObservedApps(TProcessTemplateList apps) {
    TProcessTemplateList old;
    {
        std::lock_guard<std::mutex> lock(FCSServerLists);
        old.swap(FObservedApps);
        FObservedApps = std::move(apps);
    }
    // The old templates die outside the lock.
}

TProcessTemplateList TLicenseManagerData::ObservedAppsCopy() {
    std::lock_guard<std::mutex> lock(FCSServerLists);
    return CopyTemplates(FObservedApps);
}

std::vector<int32_t> TLicenseManagerData::RunningAppsCopy() {
    std::lock_guard<std::mutex> lock(FCSRunningApps);
    return FRunningObservedApps;
}

}  // namespace qz
