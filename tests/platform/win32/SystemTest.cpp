#include "platform/Clock.h"
#include "platform/FileVersion.h"
#include "platform/NamedEvents.h"
#include "platform/Processes.h"
#include "platform/SystemInfo.h"

#include <gtest/gtest.h>
#include <windows.h>

#include "platform/Errors.h"
#include "platform/Security.h"
#include "tests/platform/PlatformTestSupport.h"

using namespace platform;

TEST(RealSystem, VersionResourceOfTheAgent) {
    const std::string exe = qztest::WinPath(QZ_SERVICE_EXE);
    EXPECT_EQ(sys::VersionString(exe, "FileVersion"), std::optional<std::string>(QZ_VERSION));
    EXPECT_EQ(sys::VersionString(exe, "CompanyName"), std::optional<std::string>("Korvane Inc"));
    EXPECT_EQ(sys::VersionString(exe, "NoSuchString"), std::optional<std::string>(""));
    // The test program itself carries no version resource.
    EXPECT_FALSE(sys::VersionString(sys::ModulePath(), "FileVersion"));
    EXPECT_FALSE(sys::VersionString("C:\\no\\such\\file.exe", "FileVersion"));
}

TEST(RealSystem, MachineFacts) {
    EXPECT_NE(sys::ModulePath().find("qz_platform_tests.exe"), std::string::npos);
    EXPECT_FALSE(sys::ComputerNetName().empty());
    EXPECT_FALSE(sys::CommonAppDataDir().empty());
    EXPECT_FALSE(sys::SystemDir().empty());
    EXPECT_FALSE(sys::WindowsDir().empty());
    const auto v = sys::GetOsVersion();
    EXPECT_GE(v.major, 5u);
    EXPECT_EQ(sys::NativeProcessorArchitecture(), std::optional<uint16_t>(9));
    const uint64_t t0 = sys::TickCountMs();
    sys::SleepMs(20);
    EXPECT_GE(sys::TickCountMs(), t0);
    EXPECT_GT(sys::NowLocal(), 40000.0);  // after 1999
}

TEST(RealSystem, HiddenProcessStartsWithoutWaiting) {
    const std::string marker = sys::CommonAppDataDir() + "\\" + qztest::Unique("qz-started") + ".txt";
    ASSERT_TRUE(sys::StartHidden("cmd.exe /c echo x > \"" + marker + "\""));
    bool seen = false;
    for (int i = 0; i < 100 && !seen; ++i) {
        sys::SleepMs(100);
        seen = GetFileAttributesA(marker.c_str()) != INVALID_FILE_ATTRIBUTES;
    }
    EXPECT_TRUE(seen);
    DeleteFileA(marker.c_str());
    EXPECT_FALSE(sys::StartHidden("C:\\no\\such\\program.exe"));
}

TEST(RealSecurity, AdministratorsGroupAndSids) {
    const auto token = sec::OpenCurrentTokenForQuery();
    ASSERT_NE(token, 0u);
    const bool admin = sec::TokenIsAdmin(token, 0);
    // A group list that doesn't fit the buffer counts as no.
    EXPECT_FALSE(sec::TokenIsAdmin(token, 8));
    sec::CloseToken(token);
    EXPECT_TRUE(admin);  // the prefix's user is an administrator

    EXPECT_EQ(sec::AccountSidString("Administrators"), "S-1-5-32-544");
    EXPECT_THROW(sec::AccountSidString("no-such-account-qz"), SystemError);
}
