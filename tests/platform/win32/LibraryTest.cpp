// The authorization library's switch through the stand-in library, loaded by
// full path: it answers yes while a file "Authorize.unlock" lies beside it.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/Library.h"
#include "tests/platform/PlatformTestSupport.h"

namespace {

TEST(Win32Library, TheStandInsSwitchFollowsItsFile) {
    const std::string dll = qztest::WinPath(QZ_BINARY_DIR "/Authorize.dll");
    const std::filesystem::path unlock =
        std::filesystem::path(dll).parent_path() / "Authorize.unlock";
    std::filesystem::remove(unlock);
    EXPECT_EQ(platform::lib::CallBoolEntry(dll, "LocalAdminAutoUnlockScreen"), std::optional<bool>(false));
    std::ofstream(unlock) << "1";
    EXPECT_EQ(platform::lib::CallBoolEntry(dll, "LocalAdminAutoUnlockScreen"), std::optional<bool>(true));
    std::filesystem::remove(unlock);
    EXPECT_EQ(platform::lib::CallBoolEntry(dll, "LocalAdminAutoUnlockScreen"), std::optional<bool>(false));
    for (const char* entry : {"UseInternalAuthorization", "DoPostLoginAction", "NoImmediateLoginForVista",
                              "ShowLoginFormImmediate", "LogoutAfterSleepMode", "EnableAccessibilityShortcuts"})
        EXPECT_EQ(platform::lib::CallBoolEntry(dll, entry), std::optional<bool>(false)) << entry;
    EXPECT_FALSE(platform::lib::CallBoolEntry(dll, "NoSuchEntry"));
    EXPECT_FALSE(platform::lib::CallBoolEntry(qztest::WinPath(QZ_BINARY_DIR "/nowhere/Authorize.dll"),
                                              "LocalAdminAutoUnlockScreen"));
}

}  // namespace
