#pragma once
#include <atomic>
#include <optional>
#include <string>

namespace qz {

enum TLockedStatus { lsUnlocked = 0, lsHalflocked = 1, lsLocked = 2 };

// Server text to lock state, compared exactly: anything else is unlocked and
// logs "Unknown lock_status has been received" (Severe).
TLockedStatus StrToLockedStatus(const std::string& text);
// "locked", "halflocked", or "unlocked" for anything else.
std::string LockedStatusToStr(TLockedStatus status);

// An emergency message as the locker's message operations take it.
class TMessageInfo {
public:
    TMessageInfo(const std::string& Title, const std::string& Message, const std::string& MessageId, double Expires)
        : FMessage(Message), FTitle(Title), FMessageId(MessageId), FExpires(Expires) {}
    std::string ToString() const;

    std::string FMessage;
    std::string FTitle;
    std::string FMessageId;
    double FExpires;
};

// The agent's record of the lock state the guard server decided for the
// station or for one user session. It draws nothing: the screen is not
// locked from here, so the session operations below are no-ops.
// Fields are read and written from several threads, one value at a time.
class TLocker {
public:
    explicit TLocker(const std::string& AHostname = std::string());
    TLocker(const TLocker&) = delete;
    TLocker& operator=(const TLocker&) = delete;

    TLockedStatus Locked() const { return FLocked.load(); }
    void SetLocked(TLockedStatus value) { FLocked.store(value); }
    // The wire text of the current state.
    std::string LockStatusText() const { return LockedStatusToStr(Locked()); }

    // Date-time of an administrator's unlock, 0 for none.
    double AdminUnlockTime() const { return FAdminUnlockTime.load(); }
    void SetAdminUnlockTime(double value) { FAdminUnlockTime.store(value); }
    void ResetAdminUnlock() { FAdminUnlockTime.store(0); }
    // More than 24 hours have passed since the administrator's unlock.
    bool CheckAdminLock() const;
    bool NeedAdminRelock() const;

    bool CustomUserLogginned() const { return FCustomUserLogginned.load(); }
    void SetCustomUserLogginned(bool value) { FCustomUserLogginned.store(value); }
    bool SLUserChecked() const { return FSLUserChecked.load(); }

    void SetInteractiveUserPresent(bool Value) {}
    void Start() {}
    void Stop() {}
    void AddEmergencyMessage(const std::string& Title, const std::string& Message, const std::string& MessageId,
                             double Expires) {}
    std::optional<TMessageInfo> GetLastEmergencyMessage() const { return std::nullopt; }
    void RemoveLastEmergencyMessage() {}
    void CleanupExpiredMessages() {}

    static constexpr long long AdminRelockAfterMs = 86400000;

private:
    std::atomic<TLockedStatus> FLocked{lsUnlocked};
    std::atomic<double> FAdminUnlockTime{0};
    std::atomic<bool> FCustomUserLogginned{false};
    std::atomic<bool> FSLUserChecked{false};
};

}  // namespace qz
