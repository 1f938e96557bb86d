#include "sessions/Locker.h"

#include <cmath>

#include "common/Logger.h"
#include "platform/Clock.h"

namespace qz {

TLockedStatus StrToLockedStatus(const std::string& text) {
    if (text == "locked") return lsLocked;
    if (text == "halflocked") return lsHalflocked;
    if (text == "unlocked") return lsUnlocked;
    TLogger::Severe("Unknown lock_status has been received");
    return lsUnlocked;
}

std::string LockedStatusToStr(TLockedStatus status) {
    switch (status) {
        case lsLocked: return "locked";
        case lsHalflocked: return "halflocked";
        default: return "unlocked";
    }
}

std::string TMessageInfo::ToString() const {
    return "Title - '" + FTitle + "', message - '" + FMessage + "', id - '" + FMessageId + "'";
}

TLocker::TLocker(const std::string& AHostname) {}

bool TLocker::CheckAdminLock() const {
    // Whole milliseconds, so an unlock exactly 24 hours ago is not yet due.
    // Only time that has passed counts: a clock set back doesn't relock.
    const double days = platform::sys::NowLocal() - FAdminUnlockTime.load();
    return std::llround(days * 86400000.0) > AdminRelockAfterMs;
}

bool TLocker::NeedAdminRelock() const { return FAdminUnlockTime.load() > 0 && CheckAdminLock(); }

}  // namespace qz
