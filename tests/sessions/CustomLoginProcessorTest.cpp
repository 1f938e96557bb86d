#include "sessions/CustomLoginProcessor.h"

#include "platform/Registry.h"
#include "protocol/GuardEventsInfo.h"
#include "sessions/UserCache.h"
#include "tests/support/TestSupport.h"

using namespace qz;

namespace {

class CustomLoginTest : public qztest::PlatformTest {
protected:
    TCustomLoginProcessor Processor() {
        TCustomLoginProcessor::Deps d;
        d.GuardEvents = &journal;
        d.Wake = [this] { ++wakes; };
        d.ReportEvent = [this](uint32_t id, const std::string& text) { events.push_back(std::to_string(id) + " " + text); };
        return TCustomLoginProcessor(d);
    }
    // The journal's user events: "state user".
    std::vector<std::string> UserEvents() {
        pugi::xml_document doc;
        pugi::xml_node root = doc.append_child("command");
        journal.SaveEvents(root, "2.5");
        std::vector<std::string> out;
        for (pugi::xml_node e : root.child("events").children("event"))
            out.push_back(e.first_child().attribute("state").value());
        return out;
    }
    std::optional<std::string> StoredUser() {
        const platform::reg::Key key{platform::reg::Hive::LocalMachine, "Software\\Korvane Guard",
                                     platform::reg::View::Default};
        auto v = platform::reg::QueryValue(key, "Username");
        if (!v) return std::nullopt;
        return v->text;
    }
    TUserCache users{false};
    TGuardEventsInfo journal{users, false};
    int wakes = 0;
    std::vector<std::string> events;
};

TEST_F(CustomLoginTest, LogonsAndLogoffsReachJournalRegistryAndEventLog) {
    W().computerName = "LAB-07";
    auto p = Processor();
    p.LoginUser("jdoe", "John Doe");
    EXPECT_EQ(p.CurrentUser(), "LAB-07\\jdoe");
    EXPECT_EQ(journal.UserName(), "LAB-07\\jdoe");
    EXPECT_EQ(StoredUser().value_or("-"), "jdoe");
    EXPECT_EQ(events, std::vector<std::string>{"536871035 Korvane user was successfully logged on."});
    EXPECT_EQ(wakes, 1);
    EXPECT_TRUE(log->Has("login custom user - jdoe"));

    // A second login is a change from the first user, without a logoff between.
    p.LoginUser("ann", "Ann");
    EXPECT_EQ(journal.UserName(), "LAB-07\\ann");
    EXPECT_EQ(StoredUser().value_or("-"), "ann");

    p.LogoutUser();
    EXPECT_EQ(p.CurrentUser(), "");
    EXPECT_EQ(journal.UserName(), "");
    EXPECT_FALSE(StoredUser());
    EXPECT_EQ(events.back(), "536871036 Korvane user was successfully logged out.");
    EXPECT_EQ(wakes, 3);
    const auto states = UserEvents();
    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.front(), "logon");
    EXPECT_EQ(states.back(), "logoff");

    // A domain user: no registry value and no event.
    p.LoginDomainUser("bob", "CORP", true);
    EXPECT_EQ(journal.UserName(), "CORP\\bob");
    EXPECT_FALSE(StoredUser());
    EXPECT_EQ(events.size(), 3u);
}

TEST_F(CustomLoginTest, TheLibrarysSwitchIsFalseUnlessTheLibraryAnswersTrue) {
    const std::string folder = "C:\\Program Files\\Tallisto\\";
    EXPECT_FALSE(AuthDllFunctions::LocalAdminAutoUnlockScreen(folder));  // no library
    W().libraryEntries[folder + "Authorize.dll|UseInternalAuthorization"] = true;
    EXPECT_FALSE(AuthDllFunctions::LocalAdminAutoUnlockScreen(folder));  // no such entry
    W().libraryEntries[folder + "Authorize.dll|LocalAdminAutoUnlockScreen"] = true;
    EXPECT_TRUE(AuthDllFunctions::LocalAdminAutoUnlockScreen(folder));
    // A library of the same name elsewhere is never asked.
    W().libraryEntries.clear();
    W().libraryEntries["C:\\Windows\\Authorize.dll|LocalAdminAutoUnlockScreen"] = true;
    EXPECT_FALSE(AuthDllFunctions::LocalAdminAutoUnlockScreen(folder));
}

}  // namespace
