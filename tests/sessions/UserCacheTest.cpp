#include <sstream>

#include "tests/support/TestSupport.h"
#include "sessions/UserCache.h"

using namespace qz;
using qztest::PlatformTest;

namespace {

using qztest::Xml;

}  // namespace

TEST(SeparateDomainAndUser, SplitsAtTheFirstSeparator) {
    struct Case {
        const char* text;
        const char* domain;
        const char* user;
    };
    const Case cases[] = {
        {"corp/jane", "corp", "jane"},
        {"corp\\jane", "corp", "jane"},
        {"jane", "", "jane"},
        {"corp\\dept\\jane", "corp", "dept\\jane"},
        {"corp/dept\\jane", "corp", "dept\\jane"},
        {"\\jane", "", "jane"},
        {"corp\\", "corp", ""},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        std::string user = "stale", domain = "stale";
        TUserCache::SeparateDomainAndUser(c.text, user, domain);
        EXPECT_EQ(domain, c.domain) << c.text;
        EXPECT_EQ(user, c.user) << c.text;
    }
    // The source may be one of the outputs.
    std::string s = "corp\\jane", d;
    TUserCache::SeparateDomainAndUser(s, s, d);
    EXPECT_EQ(s, "jane");
    EXPECT_EQ(d, "corp");
}

class UserCacheTest : public PlatformTest {};

TEST_F(UserCacheTest, SingleUserStationKnowsAUserByDomainAndName) {
    W().localFullNames["jane"] = "Jane Doe";
    TUserCache cache(false);
    EXPECT_EQ(cache.Add("jane", "CORP", false, ""), 0);
    EXPECT_EQ(cache.Add("bob", "CORP", true, ""), 1);
    // Repeated logons, in any letter case and from any host, keep the id and
    // the record as first made.
    EXPECT_EQ(cache.Add("Jane", "corp", true, "pc-9"), 0);
    EXPECT_EQ(cache.Count(), 2);
    EXPECT_EQ(cache.GetUserIdByName("CORP\\JANE"), 0);
    EXPECT_EQ(cache.GetUserIdByName("corp\\bob"), 1);
    EXPECT_EQ(cache.GetUserIdByName("bob"), -1);
    EXPECT_EQ(cache.GetUserIdByName(""), -1);

    auto jane = cache.GetUserById(0);
    ASSERT_TRUE(jane);
    EXPECT_EQ(jane->Name, "jane");
    EXPECT_EQ(jane->Domain, "CORP");
    EXPECT_FALSE(jane->IsAdmin);
    EXPECT_EQ(jane->FullName, "Jane Doe");
    EXPECT_EQ(jane->GetSamCompatibleUserName(), "CORP\\jane");
    EXPECT_EQ(cache.GetUserById(1)->FullName, "");  // not a local account
    EXPECT_FALSE(cache.GetUserById(-1));
    EXPECT_FALSE(cache.GetUserById(2));
}

TEST_F(UserCacheTest, UserWithoutDomainIsFoundAgain) {
    for (bool multi : {false, true}) {
        TUserCache cache(multi);
        const int32_t id = cache.Add("student", "", false, "pc-1");
        EXPECT_EQ(cache.Add("student", "", false, "pc-1"), id) << multi;
        EXPECT_EQ(cache.Count(), 1) << multi;
        EXPECT_EQ(cache.GetUserIdByName(multi ? "Student\\PC-1" : "Student"), id) << multi;
        // The journal knows such a user as "\\student" (an empty domain before the separator).
        EXPECT_EQ(cache.GetUserIdByName(multi ? "\\Student\\PC-1" : "\\Student"), id) << multi;
    }
}

TEST_F(UserCacheTest, MultiSessionHostKnowsAUserPerClientMachine) {
    TUserCache cache(true);
    EXPECT_EQ(cache.Add("jane", "CORP", false, "PC-1"), 0);
    EXPECT_EQ(cache.Add("jane", "CORP", false, "PC-2"), 1);
    EXPECT_EQ(cache.Add("jane", "corp", false, "pc-1"), 0);
    // The form of a session's scope text: domain\user, "\", host.
    EXPECT_EQ(cache.GetUserIdByName("corp\\jane\\pc-2"), 1);
    EXPECT_EQ(cache.GetUserIdByName("corp\\jane"), -1);
    cache.Clear();
    EXPECT_EQ(cache.Count(), 0);
    EXPECT_EQ(cache.GetUserIdByName("corp\\jane\\pc-1"), -1);
}

TEST_F(UserCacheTest, UsersElement) {
    W().localFullNames["jane"] = "Jane <Doe> & Co";
    for (bool multi : {false, true}) {
        pugi::xml_document doc;
        pugi::xml_node root = doc.append_child("command");
        TUserCache cache(multi);
        cache.SaveUsers(root);
        EXPECT_EQ(Xml(root), "<command/>") << "an empty cache writes nothing";
        cache.Add("jane", "CORP", false, "pc-1");
        cache.Add("admin", "", true, "pc-2");
        cache.SaveUsers(root);
        const std::string host1 = multi ? "<hostname>pc-1</hostname>" : "";
        const std::string host2 = multi ? "<hostname>pc-2</hostname>" : "";
        EXPECT_EQ(Xml(root),
                  "<command><users>"
                  "<user id=\"0\"><user_name>jane</user_name><full_name>Jane &lt;Doe&gt; &amp; Co</full_name>"
                  "<domain_name>CORP</domain_name><isadmin>false</isadmin>" + host1 + "</user>"
                  "<user id=\"1\"><user_name>admin</user_name><full_name></full_name>"
                  "<domain_name></domain_name><isadmin>true</isadmin>" + host2 + "</user>"
                  "</users></command>");
    }
}
