#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>

#include "tests/support/TestSupport.h"
#include "common/Text.h"
#include "platform/FileSystem.h"
#include "platform/DateTime.h"
#include "common/Files.h"
#include "common/Utils.h"
#include "common/WinUtils.h"
#include "platform/Errors.h"

using namespace qz;
using qztest::PlatformTest;

TEST(FilterString, KeepsTabLineFeedAndCarriageReturnOnly) {
    EXPECT_EQ(TUtils::FilterString(std::string("a\tb\nc\0d\x1b" "e\rf", 11)), "a\tb\ncde\rf");
    std::string all;
    for (int c = 0; c < 32; ++c) all.push_back(static_cast<char>(c));
    EXPECT_EQ(TUtils::FilterString(all + "ok \x7f\xc3\xa9"), "\t\n\r" "ok \x7f\xc3\xa9");
    EXPECT_EQ(TUtils::FilterString(""), "");
}

TEST(FormatUTCTime, DropsMillisecondsAndZone) {
    EXPECT_EQ(TUtils::formatUTCTime(EncodeDateTime({2025, 3, 5, 14, 7, 9, 750})), "2025-03-05T14:07:09");
    EXPECT_EQ(TUtils::formatUTCTime(EncodeDateTime({2000, 2, 29, 0, 0, 0, 0})), "2000-02-29T00:00:00");
    EXPECT_EQ(TUtils::formatUTCTime(EncodeDateTime({2026, 12, 31, 23, 59, 59, 0})), "2026-12-31T23:59:59");
}

TEST(DateTime, RoundTripsAndKnownValues) {
    EXPECT_DOUBLE_EQ(EncodeDateTime({1899, 12, 30, 0, 0, 0, 0}), 0.0);
    EXPECT_DOUBLE_EQ(EncodeDateTime({1970, 1, 1, 0, 0, 0, 0}), 25569.0);
    EXPECT_DOUBLE_EQ(EncodeDateTime({2000, 1, 1, 12, 0, 0, 0}), 36526.5);
    for (DateTimeParts p : {DateTimeParts{2024, 2, 29, 23, 59, 59, 999}, DateTimeParts{1900, 3, 1, 0, 0, 0, 1},
                            DateTimeParts{2038, 1, 19, 3, 14, 8, 0}}) {
        const DateTimeParts q = DecodeDateTime(EncodeDateTime(p));
        EXPECT_EQ(std::tie(q.year, q.month, q.day, q.hour, q.minute, q.second, q.millisecond),
                  std::tie(p.year, p.month, p.day, p.hour, p.minute, p.second, p.millisecond));
    }
}

class RegistryHelpers : public PlatformTest {};

TEST_F(RegistryHelpers, MissingAndWrongTypedValues) {
    EXPECT_EQ(TUtils::ReadRegistryKey("never"), "");
    EXPECT_ANY_THROW(TUtils::ReadIntegerRegistryKey("never"));

    TUtils::WriteRegistryKey("ServerURL", "http://guard:8080/server");
    TUtils::WriteIntegerRegistryKey("loglevel", -1);
    EXPECT_EQ(TUtils::ReadRegistryKey("ServerURL"), "http://guard:8080/server");
    EXPECT_EQ(TUtils::ReadIntegerRegistryKey("loglevel"), -1);
    // Wrong types read as missing for text and raise for integers.
    EXPECT_EQ(TUtils::ReadRegistryKey("loglevel"), "");
    EXPECT_ANY_THROW(TUtils::ReadIntegerRegistryKey("ServerURL"));
    platform::reg::SetBinary(AgentKey(), "NoLogDate", {1, 2, 3});
    EXPECT_FALSE(TUtils::ReadDateTimeRegistryKey("NoLogDate"));

    // The agent key lives in the 32-bit view only.
    auto other = AgentKey();
    other.view = platform::reg::View::Wow64;
    EXPECT_FALSE(platform::reg::KeyExists(other));
}

TEST_F(RegistryHelpers, FailedWriteRaises) {
    W().registryReadOnly = true;
    EXPECT_THROW(TUtils::WriteRegistryKey("x", "y"), platform::SystemError);
    EXPECT_THROW(TUtils::WriteIntegerRegistryKey("x", 1), platform::SystemError);
}

TEST_F(RegistryHelpers, AgentDataFolder) {
    EXPECT_EQ(GetAgentDataFolder(), W().commonAppData + "\\Korvane Inc\\Tallisto Client\\");
    W().commonAppData.clear();
    EXPECT_EQ(GetAgentDataFolder(), "\\Korvane Inc\\Tallisto Client\\");
}

class ServiceUtilsTest : public PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        W().virtualSleep = true;
        W().services["probe"].config.name = "Probe";
    }
    platform::fake::FakeService& Svc() { return W().services["probe"]; }
};

TEST_F(ServiceUtilsTest, StartWaitsWhilePending) {
    Svc().state = {1, 0, 0, 3000};
    Svc().script = {{2, 0, 1, 3000}, {2, 0, 2, 3000}, {4, 0x5, 0, 0}};
    EXPECT_TRUE(TServiceUtils::ServiceStart("Probe", ""));
    // Pauses are the wait hint capped at 2000 ms.
    EXPECT_EQ(W().virtualTicks, 4000u);
    EXPECT_EQ(TServiceUtils::ServiceGetStatus("Probe", ""), 4u);
    EXPECT_FALSE(TServiceUtils::ServiceStart("Probe", ""));  // already running
}

TEST_F(ServiceUtilsTest, StartGivesUpWhenTheCheckPointGoesDown) {
    Svc().script = {{2, 0, 5, 100}, {2, 0, 3, 100}, {4, 0, 0, 0}};
    EXPECT_FALSE(TServiceUtils::ServiceStart("Probe", ""));
}

TEST_F(ServiceUtilsTest, StopKeepsPausesBetween200And2000) {
    Svc().state = {4, 0x5, 0, 0};
    Svc().script = {{3, 0, 1, 0}, {3, 0, 2, 50000}, {1, 0, 0, 0}};
    EXPECT_TRUE(TServiceUtils::ServiceStop("Probe", ""));
    EXPECT_EQ(W().virtualTicks, 200u + 2000u);
    EXPECT_EQ(TServiceUtils::ServiceGetStatus("Probe", ""), 1u);
}

TEST_F(ServiceUtilsTest, HungServiceCannotHangTheCaller) {
    Svc().state = {4, 0x5, 0, 0};
    for (uint32_t i = 1; i < 1000; ++i) Svc().script.push_back({3, 0, i, 2000});
    EXPECT_FALSE(TServiceUtils::ServiceStop("Probe", ""));
    EXPECT_GE(W().virtualTicks, TServiceUtils::OverallLimitMs);
    EXPECT_LE(W().virtualTicks, TServiceUtils::OverallLimitMs + 2000);
}

TEST_F(ServiceUtilsTest, UnknownServiceAnswersNoAndStopped) {
    EXPECT_FALSE(TServiceUtils::IsServiceInstalled("Nope", ""));
    EXPECT_EQ(TServiceUtils::ServiceGetStatus("Nope", ""), 1u);
    EXPECT_FALSE(TServiceUtils::ServiceStart("Nope", ""));
    EXPECT_FALSE(TServiceUtils::ServiceStop("Nope", ""));
    EXPECT_TRUE(TServiceUtils::IsServiceInstalled("probe", ""));
}

TEST_F(ServiceUtilsTest, IsAdminByTokenClosesTheToken) {
    W().tokens[7] = true;
    W().tokens[8] = false;
    EXPECT_TRUE(TWinUtils::IsAdminByToken(7));
    EXPECT_FALSE(TWinUtils::IsAdminByToken(8));
    EXPECT_TRUE(W().tokens.empty());
}

using FolderSecurity = PlatformTest;

TEST_F(FolderSecurity, TheAgentsFoldersGetTheirAccessLists) {
    using platform::files::Others;
    const std::string data = GetAgentDataFolder();
    const std::string company = W().commonAppData + "\\Korvane Inc";
    auto secured = [&] {
        std::map<std::string, Others> out;
        for (const auto& [path, others] : W().securedFolders) out[path] = others;
        return out;
    };
    SecureAgentFolders();
    // "Update" and "Banners" come and go with their components.
    EXPECT_EQ(secured(), (std::map<std::string, Others>{{AsciiLower(company), Others::Read},
                                                         {AsciiLower(data.substr(0, data.size() - 1)), Others::None},
                                                         {AsciiLower(data + "Logs"), Others::None}}));
    EXPECT_TRUE(std::filesystem::is_directory(ToFsPath(data + "Logs")));
    EXPECT_FALSE(std::filesystem::exists(ToFsPath(data + "Update")));

    std::filesystem::create_directories(ToFsPath(data + "Update"));
    std::filesystem::create_directories(ToFsPath(data + "Banners"));
    SecureAgentFolders();
    EXPECT_EQ(secured()[AsciiLower(data + "Update")], Others::None);
    EXPECT_EQ(secured()[AsciiLower(data + "Banners")], Others::Read);
}

TEST_F(FolderSecurity, ALinkPlantedInPlaceOfTheLogFolderIsNeverFollowed) {
    if (qztest::kHostIsWindows) GTEST_SKIP() << "links staged natively; Windows is covered by the platform tests";
    namespace fs = std::filesystem;
    const std::string data = GetAgentDataFolder();
    const fs::path elsewhere = ToFsPath(W().commonAppData) / "elsewhere";
    fs::create_directories(elsewhere);
    std::ofstream(elsewhere / "precious.txt") << "keep";
    fs::create_directories(ToFsPath(data));
    fs::create_directory_symlink(elsewhere, ToFsPath(data + "Logs"));
    std::ofstream(ToFsPath(data) / "note.txt") << "x";
    fs::create_symlink(elsewhere / "precious.txt", ToFsPath(data + "guard.ini"));

    SecureAgentFolders();
    EXPECT_FALSE(fs::is_symlink(ToFsPath(data + "Logs")));
    EXPECT_TRUE(fs::is_directory(ToFsPath(data + "Logs")));
    EXPECT_FALSE(fs::exists(fs::symlink_status(ToFsPath(data + "guard.ini"))));  // the planted link is gone
    EXPECT_TRUE(fs::exists(ToFsPath(data) / "note.txt"));
    EXPECT_TRUE(fs::exists(elsewhere / "precious.txt"));  // what the links pointed at is untouched
}

// A student made the folders before the agent came, owns them and denied
// SYSTEM and the administrators the right to change their lists.
TEST_F(FolderSecurity, AFolderAStudentOwnsIsTakenOverWithTheOwnershipPrivileges) {
    namespace fs = std::filesystem;
    using platform::files::Others;
    const std::string data = GetAgentDataFolder();
    fs::create_directories(ToFsPath(data + "sub"));
    std::ofstream(ToFsPath(data + "guard.ini")) << "planted";
    for (const std::string& p : {data.substr(0, data.size() - 1), data + "guard.ini", data + "sub"})
        W().foreignOwned[AsciiLower(p)] = true;

    const TSecuredFolders r = SecureAgentFolders();
    EXPECT_TRUE(r.Data);
    EXPECT_TRUE(r.Update);
    EXPECT_TRUE(r.Problems.empty()) << r.Problems.front();
    for (const char* p : {"SeTakeOwnershipPrivilege", "SeRestorePrivilege"})
        EXPECT_NE(std::find(W().privilegeChanges.begin(), W().privilegeChanges.end(), std::make_pair(std::string(p), true)),
                  W().privilegeChanges.end())
            << p;
    EXPECT_TRUE(W().foreignOwned.empty());
    // Subfolders that are no links get the list too, and the file stays where it was.
    EXPECT_EQ(W().securedFolders[AsciiLower(data + "sub")], Others::None);
    EXPECT_EQ(W().fileLists[AsciiLower(data + "guard.ini")], Others::None);
    EXPECT_TRUE(fs::exists(ToFsPath(data + "guard.ini")));
}

TEST_F(FolderSecurity, WhatCantBeSecuredIsReportedAndMovedAsideForANewFolder) {
    namespace fs = std::filesystem;
    using platform::files::Others;
    // Paths below the common data folder, which each case makes afresh: "@" stands for it.
    const std::string company = "@\\Korvane Inc", folder = company + "\\Tallisto Client", data = folder + "\\";
    struct Case {
        const char* what;
        std::vector<std::string> foreign;   // held for good
        std::string movedAside;             // the folder moved aside; empty: none
        int moveFailures;
        bool data;                          // the data folder ends up secured
        std::vector<std::string> reported;  // among the problems, in order
    } cases[] = {
        {"the data folder itself", {folder}, folder, 0, true,
         {"Cannot secure " + folder + " - ", "Moved " + folder + " aside to " + folder + ".untrusted"}},
        {"two files in it, each reported", {data + "guard.data", data + "guard.ini"}, folder, 0, true,
         {"Cannot secure " + data + "guard.data - ", "Cannot secure " + data + "guard.ini - ",
          "Moved " + folder + " aside to " + folder + ".untrusted"}},
        {"the company folder", {company}, company, 0, true,
         {"Cannot secure " + company + " - ", "Moved " + company + " aside to " + company + ".untrusted"}},
        {"Logs, which the data folder's pass goes past", {data + "Logs"}, folder, 0, true,
         {"Cannot secure " + data + "Logs - ", "Moved " + folder + " aside"}},
        {"the data folder, which won't move", {folder}, "", 1, false,
         {"Cannot secure " + folder + " - ", "Cannot move " + folder + " aside - ",
          "Cannot secure the data folder - its files are not read"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        PlatformTest::TearDown();
        PlatformTest::SetUp();
        auto at = [&](std::string p) {
            for (size_t i; (i = p.find('@')) != std::string::npos;) p.replace(i, 1, W().commonAppData);
            return p;
        };
        fs::create_directories(ToFsPath(at(data + "Logs")));
        std::ofstream(ToFsPath(at(data + "guard.ini"))) << "planted";
        std::ofstream(ToFsPath(at(data + "guard.data"))) << "planted";
        for (const auto& p : c.foreign) W().foreignOwned[AsciiLower(at(p))] = false;
        W().replaceFailures = c.moveFailures;

        const TSecuredFolders r = SecureAgentFolders();
        EXPECT_EQ(r.Data, c.data);
        EXPECT_EQ(r.Update, c.data);
        size_t n = 0;
        for (const auto& line : c.reported) {
            while (n < r.Problems.size() && r.Problems[n].rfind(at(line), 0) != 0) ++n;
            EXPECT_LT(n, r.Problems.size()) << "not reported: " << at(line);
        }
        if (c.movedAside.empty()) continue;
        // Kept for the administrator; the agent goes on in a new folder of its own.
        EXPECT_TRUE(fs::exists(ToFsPath(at(c.movedAside + ".untrusted"))));
        EXPECT_FALSE(fs::exists(ToFsPath(at(data + "guard.ini"))));
        EXPECT_TRUE(fs::is_directory(ToFsPath(at(data + "Logs"))));
        EXPECT_EQ(W().securedFolders[AsciiLower(at(folder))], Others::None);
        EXPECT_EQ(W().securedFolders[AsciiLower(at(data + "Logs"))], Others::None);
        EXPECT_EQ(W().securedFolders[AsciiLower(at(company))], Others::Read);
    }
}

TEST(PlainFileName, OnlyNamesThatStayInTheirFolder) {
    struct Case {
        const char* name;
        bool plain;
    } cases[] = {
        {"setup.exe", true}, {"setup 2.exe", true}, {"abc.png", true}, {"r\xC3\xA4tt.png", true}, {"a.b.c", true},
        {"", false}, {".", false}, {"..", false}, {"..\\x.exe", false}, {"../x.exe", false}, {"a..b", false},
        {"sub\\x.exe", false}, {"sub/x.exe", false}, {"C:x.exe", false}, {"C:\\x.exe", false},
        {"\\\\server\\share\\x", false}, {"con", false}, {"CON.png", false}, {"nul .txt", false},
        {"Com1.exe", false}, {"lpt9", false}, {"com\xC2\xB9.png", false}, {"com10.png", true}, {"console.png", true},
        {"a<b", false}, {"a>b", false}, {"a\"b", false}, {"a|b", false}, {"a?b", false}, {"a*b", false},
        {"a\tb", false}, {"trailing.", false}, {"trailing ", false},
    };
    for (const auto& c : cases) EXPECT_EQ(qz::IsPlainFileName(c.name), c.plain) << c.name;
    EXPECT_FALSE(qz::IsPlainFileName(std::string(201, 'a')));
    EXPECT_TRUE(qz::IsPlainFileName(std::string(200, 'a')));
}
