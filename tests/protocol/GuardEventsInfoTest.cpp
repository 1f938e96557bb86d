#include <climits>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/support/TestSupport.h"
#include "platform/DateTime.h"
#include "common/Utils.h"
#include "protocol/GuardEventsInfo.h"
#include "sessions/UserCache.h"

using namespace qz;
using qztest::PlatformTest;

namespace {

using qztest::Xml;

using Ids = std::vector<int32_t>;

}  // namespace

class JournalTest : public PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        W().now = EncodeDateTime({2026, 5, 4, 9, 8, 7, 0});
        W().localFullNames["jane"] = "Jane Doe";
    }
    // The journal's part of a document for the given server version.
    std::string Events(TGuardEventsInfo& journal, const std::string& version) {
        pugi::xml_document doc;
        pugi::xml_node root = doc.append_child("command");
        journal.SaveEvents(root, version);
        return Xml(root);
    }
    void Logons(TGuardEventsInfo& journal, int n) {
        for (int i = 0; i < n; ++i) journal.UserChanged("", "CORP\\jane", false, "");
    }
    TUserCache cache{false};
    TGuardEventsInfo journal{cache, false};
};

TEST_F(JournalTest, AcknowledgementDropsEntriesUpToTheNumber) {
    Logons(journal, 3);
    EXPECT_EQ(journal.PendingIds(), (Ids{1, 2, 3}));
    journal.Receipting(2);
    EXPECT_EQ(journal.PendingIds(), (Ids{3}));
    journal.Receipting(2);
    EXPECT_EQ(journal.PendingIds(), (Ids{3}));
    // Numbers the journal never handed out.
    journal.Receipting(0);
    journal.Receipting(-5);
    EXPECT_EQ(journal.PendingIds(), (Ids{3}));
    journal.Receipting(10);
    EXPECT_TRUE(journal.PendingIds().empty());
    // Numbering goes on; it doesn't restart when the journal empties.
    Logons(journal, 1);
    EXPECT_EQ(journal.PendingIds(), (Ids{4}));
}

TEST_F(JournalTest, RepeatedAcknowledgementRemovesNothing) {
    Logons(journal, 2);
    journal.Receipting(5);  // far ahead: the journal is empty and remembers 5
    EXPECT_TRUE(journal.PendingIds().empty());
    Logons(journal, 3);
    EXPECT_EQ(journal.PendingIds(), (Ids{3, 4, 5}));
    journal.Receipting(5);
    EXPECT_EQ(journal.PendingIds(), (Ids{3, 4, 5}));
    journal.Receipting(4);
    EXPECT_EQ(journal.PendingIds(), (Ids{5}));
}

TEST_F(JournalTest, NumberingContinuesFromOneAfterTheLargestNumber) {
    journal.SeedNumberingForTests(INT32_MAX - 2);
    Logons(journal, 4);
    EXPECT_EQ(journal.PendingIds(), (Ids{INT32_MAX - 1, INT32_MAX, 1, 2}));
    // Acknowledging the old numbers leaves the new ones, which the server
    // hasn't necessarily seen.
    journal.Receipting(INT32_MAX - 1);
    EXPECT_EQ(journal.PendingIds(), (Ids{INT32_MAX, 1, 2}));
    // A new number that is listed ends the range, across the restart.
    journal.Receipting(1);
    EXPECT_EQ(journal.PendingIds(), (Ids{2}));

    journal.SeedNumberingForTests(INT32_MAX - 1);
    Logons(journal, 2);
    EXPECT_EQ(journal.PendingIds(), (Ids{2, INT32_MAX, 1}));
    journal.Receipting(INT32_MAX);
    EXPECT_EQ(journal.PendingIds(), (Ids{1}));
}

TEST_F(JournalTest, LogonAndLogoffEntries) {
    journal.UserChanged("", "CORP\\jane", true, "");
    EXPECT_EQ(journal.UserName(), "CORP\\jane");
    EXPECT_TRUE(journal.IsAdmin());
    // A logoff entry never claims an administrator, whatever the caller passes.
    journal.UserChanged("CORP\\jane", "", true, "Given Name");
    EXPECT_EQ(journal.UserName(), "");

    const std::string old =
        "<command><events>"
        "<event id=\"1\" client_time=\"2026-05-04T09:08:07\"><login_state state=\"logon\" user_id=\"0\">"
        "<user_name>jane</user_name><full_name>Jane Doe</full_name><domain_name>CORP</domain_name>"
        "<isadmin>True</isadmin></login_state></event>"
        "<event id=\"2\" client_time=\"2026-05-04T09:08:07\"><login_state state=\"logoff\" user_id=\"0\">"
        "<user_name>jane</user_name><full_name>Given Name</full_name><domain_name>CORP</domain_name>"
        "<isadmin>False</isadmin></login_state></event>"
        "</events></command>";
    const std::string current =
        "<command><events>"
        "<event id=\"1\" client_time=\"2026-05-04T09:08:07\"><login_state state=\"logon\" user_id=\"0\"/></event>"
        "<event id=\"2\" client_time=\"2026-05-04T09:08:07\"><login_state state=\"logoff\" user_id=\"0\"/></event>"
        "</events></command>";
    // Versions compare as text, so "2.10" is older than "2.5".
    for (auto [version, expected] : {std::pair{"", &old}, std::pair{"2.2", &old}, std::pair{"2.10", &old},
                                     std::pair{"2.5", &current}, std::pair{"3.0", &current}})
        EXPECT_EQ(Events(journal, version), *expected) << version;
}

TEST_F(JournalTest, EmptyJournalWritesNothing) {
    EXPECT_EQ(Events(journal, "2.5"), "<command/>");
    Logons(journal, 1);
    journal.Receipting(1);
    EXPECT_EQ(Events(journal, "2.5"), "<command/>");
}

TEST_F(JournalTest, AppEventsOnASingleUserStation) {
    journal.AddAppEvent("app_start", 17, "ignored");  // nobody logged on
    journal.AddAppEvent("app_stop", 17, "");
    journal.UserChanged("", "CORP\\jane", false, "");
    journal.AddAppEvent("app_start", 18, "");
    journal.AddAppEvent("app_stop", 18, "");
    EXPECT_EQ(Events(journal, "2.5"),
              "<command><events>"
              "<event id=\"1\" client_time=\"2026-05-04T09:08:07\">"
              "<app_start id=\"17\" user_id=\"-1\" user_name=\"SYSTEM\" domain_name=\"LAB-07\" isadmin=\"true\"/></event>"
              "<event id=\"2\" client_time=\"2026-05-04T09:08:07\"><app_stop id=\"17\" user_id=\"-1\"/></event>"
              "<event id=\"3\" client_time=\"2026-05-04T09:08:07\"><login_state state=\"logon\" user_id=\"0\"/></event>"
              "<event id=\"4\" client_time=\"2026-05-04T09:08:07\">"
              "<app_start id=\"18\" user_id=\"0\" user_name=\"jane\" domain_name=\"CORP\" isadmin=\"False\"/></event>"
              "<event id=\"5\" client_time=\"2026-05-04T09:08:07\"><app_stop id=\"18\" user_id=\"0\"/></event>"
              "</events></command>");
    // Older servers get names instead of ids, each attribute once.
    const std::string old = Events(journal, "2.2");
    EXPECT_NE(old.find("<app_start id=\"17\" user_name=\"SYSTEM\" domain_name=\"LAB-07\" isadmin=\"true\"/>"),
              std::string::npos) << old;
    EXPECT_NE(old.find("<app_stop id=\"17\"/>"), std::string::npos) << old;
    EXPECT_NE(old.find("<app_start id=\"18\" user_name=\"jane\" domain_name=\"CORP\" isadmin=\"False\"/>"),
              std::string::npos) << old;
    EXPECT_NE(old.find("<app_stop id=\"18\" user_name=\"jane\" domain_name=\"CORP\"/>"), std::string::npos) << old;
}

TEST_F(JournalTest, AppEventsOnAMultiSessionHost) {
    TUserCache multiCache(true);
    TGuardEventsInfo multi(multiCache, true);
    multi.UserChangedWithHostname("", "CORP\\jane", true, "PC-1");
    multi.UserChangedWithHostname("", "CORP\\bob", false, "PC-2");
    // Session logons don't make a console user.
    EXPECT_EQ(multi.UserName(), "");
    EXPECT_EQ(multi.HostName(), "");
    multi.AddAppEvent("app_start", 5, "CORP\\bob\\PC-2");
    multi.AddAppEvent("app_start", 5, "CORP\\jane\\pc-1");
    multi.AddAppEvent("app_start", 5, "CORP\\eve\\PC-3");  // no such session user
    multi.AddAppEvent("app_stop", 5, "CORP\\jane\\PC-1");
    const std::string xml = Events(multi, "2.5");
    for (const char* part : {"<app_start id=\"5\" user_id=\"1\" user_name=\"bob\" domain_name=\"CORP\" isadmin=\"False\"/>",
                             "<app_start id=\"5\" user_id=\"0\" user_name=\"jane\" domain_name=\"CORP\" isadmin=\"True\"/>",
                             "<app_start id=\"5\" user_id=\"-1\"/>", "<app_stop id=\"5\" user_id=\"0\"/>"})
        EXPECT_NE(xml.find(part), std::string::npos) << part << "\n" << xml;

    // A report without a host name sets the console user, with its host name empty.
    multi.UserChanged("", "CORP\\admin", true, "");
    EXPECT_EQ(multi.UserName(), "CORP\\admin");
    EXPECT_EQ(multi.HostName(), "");
}

TEST_F(JournalTest, UpdateEntries) {
    journal.AddUpdateEvent("42", "setup.exe", true, "");
    journal.AddUpdateEvent("43", "setup2.exe", false, "win-1");
    EXPECT_EQ(Events(journal, "2.5"),
              "<command><events>"
              "<event id=\"1\" client_time=\"2026-05-04T09:08:07\"><update id=\"42\" state=\"True\"/></event>"
              "<event id=\"2\" client_time=\"2026-05-04T09:08:07\"><update id=\"43\" state=\"False\" error=\"win-1\"/></event>"
              "</events></command>");
}

class UpdateCleanupTest : public JournalTest {
protected:
    std::filesystem::path Folder() { return ToFsPath(GetAgentDataFolder() + "Update"); }
    void Touch(const std::filesystem::path& file) {
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file) << "42";
    }
};

TEST_F(UpdateCleanupTest, AcknowledgedUpdateRemovesInstallerMarkersAndFolder) {
    for (const char* f : {"setup.exe", "setup.ok", "setup.start"}) Touch(Folder() / f);
    journal.AddUpdateEvent("42", "setup.exe", true, "");
    journal.UserChanged("", "CORP\\jane", false, "");
    journal.Receipting(0);
    EXPECT_TRUE(std::filesystem::exists(Folder() / "setup.exe")) << "nothing happens before acknowledgement";
    journal.Receipting(1);
    EXPECT_FALSE(std::filesystem::exists(Folder()));
    EXPECT_TRUE(log->Has("Finalize update event"));
    EXPECT_EQ(journal.PendingIds(), (Ids{2}));
}

TEST_F(UpdateCleanupTest, OtherFilesKeepTheFolder) {
    // A download under way, and a marker of another installer.
    for (const char* f : {"setup.start", "next.exe", "next.start"}) Touch(Folder() / f);
    journal.AddUpdateEvent("42", "setup.exe", false, "win-3");
    journal.Receipting(1);
    EXPECT_TRUE(journal.PendingIds().empty());
    EXPECT_FALSE(std::filesystem::exists(Folder() / "setup.start"));
    EXPECT_TRUE(std::filesystem::exists(Folder() / "next.exe"));
    EXPECT_TRUE(std::filesystem::exists(Folder() / "next.start"));
}

TEST_F(UpdateCleanupTest, ServerNamedFileCannotReachOutsideTheFolder) {
    const auto data = ToFsPath(GetAgentDataFolder());
    Touch(data / "guard.ini");
    Touch(data / "guard.ok");
    Touch(Folder() / "keep.txt");
    for (const char* name : {"..\\guard.ini", "../guard.ini", "..", ""}) journal.AddUpdateEvent("1", name, true, "");
    journal.Receipting(100);
    EXPECT_TRUE(journal.PendingIds().empty());
    EXPECT_TRUE(std::filesystem::exists(data / "guard.ini"));
    EXPECT_TRUE(std::filesystem::exists(data / "guard.ok"));
    EXPECT_TRUE(std::filesystem::exists(Folder() / "keep.txt"));
    // Only the file part of such a name counts, inside the update folder.
    Touch(Folder() / "guard.ini");
    journal.AddUpdateEvent("1", "..\\guard.ini", true, "");
    journal.Receipting(101);
    EXPECT_FALSE(std::filesystem::exists(Folder() / "guard.ini"));
}

TEST_F(JournalTest, ConcurrentWritersGetDistinctOrderedNumbers) {
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([this, t] {
            for (int i = 0; i < 100; ++i) {
                if (t == 0) journal.UserChanged("", i % 2 ? "CORP\\jane" : "", false, "");
                else journal.AddAppEvent(t == 1 ? "app_start" : "app_stop", i, "");
                (void)journal.UserName();
            }
        });
    for (auto& w : writers) w.join();
    const Ids ids = journal.PendingIds();
    ASSERT_EQ(ids.size(), 400u);
    for (size_t i = 0; i < ids.size(); ++i) ASSERT_EQ(ids[i], static_cast<int32_t>(i + 1));
    EXPECT_EQ(cache.Count(), 2);  // jane, and the nameless logoff
}
