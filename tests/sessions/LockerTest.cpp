#include "tests/support/TestSupport.h"
#include "platform/DateTime.h"
#include "sessions/Locker.h"

using namespace qz;
using qztest::PlatformTest;

namespace {
constexpr const char* kUnknown = "Unknown lock_status has been received";
constexpr double kMs = 1.0 / 86400000.0;
}  // namespace

class LockerTest : public PlatformTest {};

TEST_F(LockerTest, ServerTextToState) {
    struct Case {
        const char* text;
        TLockedStatus status;
        bool known;
    };
    const Case cases[] = {
        {"locked", lsLocked, true},       {"halflocked", lsHalflocked, true}, {"unlocked", lsUnlocked, true},
        {"Locked", lsUnlocked, false},    {"LOCKED", lsUnlocked, false},      {" locked", lsUnlocked, false},
        {"locked\n", lsUnlocked, false},  {"", lsUnlocked, false},            {"half-locked", lsUnlocked, false},
    };
    for (const Case& c : cases) {
        // A fresh log for each case; the old handler is dropped before it is freed.
        qz::TLogger::ResetForTests();
        log = std::make_unique<qztest::MemoryHandler>();
        EXPECT_EQ(StrToLockedStatus(c.text), c.status) << c.text;
        EXPECT_EQ(log->Has(kUnknown), !c.known) << c.text;
    }
}

TEST_F(LockerTest, StatesAndTheirWireText) {
    TLocker locker("pc-3");
    EXPECT_EQ(locker.Locked(), lsUnlocked);
    EXPECT_EQ(locker.LockStatusText(), "unlocked");
    for (TLockedStatus s : {lsLocked, lsHalflocked, lsUnlocked, lsLocked}) {
        locker.SetLocked(s);
        EXPECT_EQ(locker.Locked(), s);
        EXPECT_EQ(StrToLockedStatus(locker.LockStatusText()), s);
    }
    EXPECT_EQ(LockedStatusToStr(static_cast<TLockedStatus>(7)), "unlocked");
    EXPECT_FALSE(locker.CustomUserLogginned());
    locker.SetCustomUserLogginned(true);
    EXPECT_TRUE(locker.CustomUserLogginned());
    EXPECT_FALSE(locker.SLUserChecked());
}

TEST_F(LockerTest, AdminRelockAfterTwentyFourHours) {
    const double now = EncodeDateTime({2026, 3, 10, 12, 0, 0, 0});
    W().now = now;
    TLocker locker;
    EXPECT_FALSE(locker.NeedAdminRelock()) << "a new locker has no administrator unlock";

    struct Case {
        double unlockedAt;
        bool relock;
    };
    const Case cases[] = {
        {now - 1.0, false},            // exactly 24 hours
        {now - 1.0 - kMs, true},       // one millisecond more
        {now - 1.0 + kMs, false},
        {now - 3.0, true},
        {now + 2.0, false},            // clock set back: no time has passed
    };
    for (const Case& c : cases) {
        locker.SetAdminUnlockTime(c.unlockedAt);
        EXPECT_EQ(locker.NeedAdminRelock(), c.relock) << (now - c.unlockedAt) * 86400000.0;
    }
    locker.ResetAdminUnlock();
    EXPECT_EQ(locker.AdminUnlockTime(), 0);
    EXPECT_TRUE(locker.CheckAdminLock()) << "time 0 is long ago";
    EXPECT_FALSE(locker.NeedAdminRelock()) << "but 0 means no unlock";
}

TEST_F(LockerTest, SessionOperationsKeepNothing) {
    TLocker locker;
    locker.Start();
    locker.SetInteractiveUserPresent(true);
    locker.AddEmergencyMessage("Fire drill", "Leave the room", "m-1", EncodeDateTime({2030, 1, 1}));
    EXPECT_FALSE(locker.GetLastEmergencyMessage());
    locker.CleanupExpiredMessages();
    locker.RemoveLastEmergencyMessage();
    locker.Stop();
    EXPECT_EQ(locker.Locked(), lsUnlocked);
    EXPECT_EQ(TMessageInfo("Fire drill", "Leave the room", "m-1", 0).ToString(),
              "Title - 'Fire drill', message - 'Leave the room', id - 'm-1'");
}
