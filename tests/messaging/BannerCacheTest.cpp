#include "messaging/BannerCache.h"

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <set>

#include "common/HttpClient.h"
#include "common/Settings.h"
#include "common/Utils.h"
#include "protocol/AppState.h"
#include "tests/support/HostileServer.h"
#include "tests/support/ScriptedDownloads.h"
#include "tests/support/TestSupport.h"

using namespace qz;

namespace {

namespace fs = std::filesystem;

class BannerCacheTest : public qztest::PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        settings.SetServerUrl("http://guard.lab:8080/korvane");
        downloads = std::make_shared<qztest::ScriptedDownloads>();
        downloads->script = [](const std::string& url) {
            return qztest::ScriptedDownloads::Answer{"PNG of " + url.substr(url.find("?id=") + 4)};
        };
        cache = std::make_unique<TBannerCache>(settings, downloads);
    }
    fs::path Folder() { return ToFsPath(TBannerCache::BannersFolder()); }
    void Local(const std::string& file) {
        fs::create_directories(Folder());
        std::ofstream(Folder() / file) << "old";
    }
    std::set<std::string> Files() {
        std::set<std::string> names;
        std::error_code ec;
        for (const auto& e : fs::directory_iterator(Folder(), ec)) names.insert(e.path().filename().string());
        return names;
    }
    void Load(const std::string& stamp, const std::vector<std::string>& ids) {
        pugi::xml_document doc;
        pugi::xml_node b = doc.append_child("banners");
        b.append_attribute("banner_update_time") = stamp.c_str();
        for (const auto& id : ids) b.append_child("banner").append_attribute("id") = id.c_str();
        b.append_child("other").append_attribute("id") = "ignored";
        cache->LoadFromXML(b);
        EXPECT_TRUE(cache->WaitIdle(10000));
    }
    std::vector<std::string> Listed() {
        pugi::xml_document doc;
        pugi::xml_node n = doc.append_child("x");
        cache->SaveToXML(n);
        std::vector<std::string> ids;
        for (pugi::xml_node b : n.children("banner")) ids.push_back(b.attribute("id").value());
        return ids;
    }
    TSettings settings;
    std::shared_ptr<qztest::ScriptedDownloads> downloads;
    std::unique_ptr<TBannerCache> cache;
};

TEST_F(BannerCacheTest, InitTakesTheLocalFilesAndTheStampOne) {
    EXPECT_EQ(cache->BannersUpdateTime(), "0");
    Local("abc.png");
    Local("Spring.PNG");
    Local("notes.txt");
    cache->Init();
    EXPECT_EQ(cache->BannersUpdateTime(), "1");
    const std::vector<std::string> listed = Listed();
    std::set<std::string> ids(listed.begin(), listed.end());
    EXPECT_EQ(listed.size(), 2u);
    EXPECT_EQ(ids, (std::set<std::string>{"abc", "spring"}));
}

TEST_F(BannerCacheTest, TheServerListDeletesDownloadsAndKeeps) {
    Local("abc.png");
    Local("gone.png");
    cache->Init();
    // ABC matches the local abc.png; gone goes; new is fetched.
    Load("17", {"ABC", "new"});
    EXPECT_EQ(Files(), (std::set<std::string>{"abc.png", "new.png"}));
    EXPECT_EQ(downloads->Urls(), std::vector<std::string>{"GET http://guard.lab:8080/korvane/get_banner?id=new"});
    std::ifstream in(Folder() / "new.png");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "PNG of new");
    EXPECT_EQ(cache->BannersUpdateTime(), "17");
    EXPECT_EQ(Listed(), (std::vector<std::string>{"abc", "new"}));
    EXPECT_TRUE(log->Has("Load banner from server with id new"));

    // The same list again: nothing deleted, nothing fetched.
    Load("17", {"abc", "new"});
    EXPECT_EQ(downloads->Urls().size(), 1u);
    EXPECT_EQ(Files(), (std::set<std::string>{"abc.png", "new.png"}));
}

TEST_F(BannerCacheTest, AFailedDownloadLeavesNoFileAndTheListComesAgain) {
    W().virtualSleep = true;
    cache->Init();
    downloads->script = [](const std::string& url) {
        if (url.find("id=bad") != std::string::npos) return qztest::ScriptedDownloads::Answer{"", 404};
        if (url.find("id=down") != std::string::npos) return qztest::ScriptedDownloads::Answer{"", 0};
        return qztest::ScriptedDownloads::Answer{"png"};
    };
    Load("5", {"bad", "down", "good"});
    EXPECT_EQ(Files(), (std::set<std::string>{"good.png"}));
    EXPECT_EQ(Listed(), (std::vector<std::string>{"good"}));  // the rotation holds what is there
    EXPECT_TRUE(log->Has("Can not load banner. Reason: HTTP/1.1 404"));
    // Not all there: the old stamp stays, so the server sends the list again.
    EXPECT_EQ(cache->BannersUpdateTime(), "1");
    downloads->script = [](const std::string&) { return qztest::ScriptedDownloads::Answer{"png"}; };
    W().virtualTicks += 60000;  // past the failed ones' pause
    Load("5", {"bad", "down", "good"});
    EXPECT_EQ(Files(), (std::set<std::string>{"bad.png", "down.png", "good.png"}));
    EXPECT_EQ(cache->BannersUpdateTime(), "5");
}

TEST_F(BannerCacheTest, ABannerIsWrittenFreshWithTheUsersReadListNeverThroughAPlantedLink) {
    cache->Init();
    const fs::path precious = ToFsPath(W().commonAppData) / "precious.txt";
    std::ofstream(precious) << "keep";
    fs::create_directories(Folder());
    // A hard link looks like any file to the folder's securing, which removes only links.
    if (!qztest::kHostIsWindows) fs::create_hard_link(precious, Folder() / "new.part");
    Load("3", {"new"});
    std::ifstream keep(precious), banner(Folder() / "new.png");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(keep), {}), "keep");
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(banner), {}), "PNG of new");
    // Made with the folder's own list: session programs show it.
    EXPECT_EQ(W().fileLists[platform::AsciiLower(TBannerCache::BannersFolder() + "new.png")],
              platform::files::Others::Read);
    for (const auto& f : Files()) EXPECT_EQ(f.find(".tmp"), std::string::npos) << f;
}

TEST_F(BannerCacheTest, IdsThatCouldLeaveTheFolderAreRefused) {
    const fs::path logs = ToFsPath(GetAgentDataFolder() + "Logs");
    fs::create_directories(logs);
    std::ofstream(logs / "kv.png") << "keep";
    Local("keep.png");
    cache->Init();
    const std::vector<std::string> hostile = {"..\\Logs\\kv", "../Logs/kv", "c:evil", "C:\\Windows\\x", "con",
                                              "LPT1", "a|b", "a*", "", "nul.txt", std::string("a\x01", 2)};
    std::vector<std::string> ids = hostile;
    ids.push_back("keep");
    Load("9", ids);
    EXPECT_TRUE(downloads->Urls().empty());
    EXPECT_EQ(Files(), (std::set<std::string>{"keep.png"}));
    EXPECT_TRUE(fs::exists(logs / "kv.png"));
    EXPECT_TRUE(log->Has("Banner id refused: \"../logs/kv\""));
    EXPECT_EQ(Listed(), std::vector<std::string>{"keep"});
}

TEST_F(BannerCacheTest, TheRotationWrapsAround) {
    EXPECT_EQ(cache->GetNextBanner(), "");
    Load("3", {"one", "two", "three"});
    std::vector<std::string> seen;
    for (int i = 0; i < 7; ++i) seen.push_back(cache->GetNextBanner());
    EXPECT_EQ(seen, (std::vector<std::string>{"one", "two", "three", "one", "two", "three", "one"}));
}

// A banner host that takes the request and never answers: the state document
// stays available to every other thread meanwhile.
TEST_F(BannerCacheTest, AStalledBannerHostHoldsNothingElseUp) {
    qztest::HostileServer host([](qztest::HostileConnection& c) { c.Pause(120000); });
    settings.SetServerUrl("http://127.0.0.1:" + std::to_string(host.Port()) + "/korvane");
    settings.SetBannerTimeout(60000);
    auto transport = std::make_shared<THttpClientTransport>();
    TBannerCache stalled(settings, transport);
    TAppStateContext ctx;
    ctx.Banners = [&](const pugi::xml_node& n) { stalled.LoadFromXML(n); };
    TApplicationState state(ctx);
    const auto ready = [](std::future<void>& f) {
        return f.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    };

    std::future<void> applied = std::async(std::launch::async, [&] {
        state.ProcessState("<response><control_state><banners banner_update_time=\"7\"><banner id=\"slow\"/>"
                           "</banners></control_state></response>");
    });
    ASSERT_TRUE(qztest::WaitUntil([&] { return host.Accepted() == 1; }, 10000));
    std::future<void> asked = std::async(std::launch::async, [&] { state.ConnectionPassword(); });
    EXPECT_TRUE(ready(asked));
    EXPECT_TRUE(ready(applied));
    // The stop cuts the download short; the list isn't whole, so its stamp isn't taken.
    std::future<void> stopped = std::async(std::launch::async, [&] { stalled.Stop(); });
    EXPECT_TRUE(ready(stopped));
    EXPECT_EQ(stalled.BannersUpdateTime(), "0");
    EXPECT_EQ(Files(), std::set<std::string>{});
    transport->Cancel();
}

// The server sends its list on every heartbeat until the stamp comes back;
// a banner that fails waits longer each time instead of being fetched again
// and again.
TEST_F(BannerCacheTest, AFailingBannerWaitsLongerEachTime) {
    W().virtualSleep = true;
    std::atomic<bool> up{false};
    downloads->script = [&](const std::string& url) {
        return up || url.find("id=good") != std::string::npos ? qztest::ScriptedDownloads::Answer{"png"}
                                                               : qztest::ScriptedDownloads::Answer{"", 503};
    };
    const std::vector<std::string> both = {"flaky", "good"};
    const struct {
        uint32_t laterMs;
        std::string stamp;
        std::vector<std::string> ids;
        bool up;
        size_t fetched;
        std::string taken;
    } steps[] = {
        {0, "5", both, false, 2, "0"},        // good comes, flaky fails: a minute's pause
        {0, "5", both, false, 2, "0"},        // the next heartbeat: nothing fetched
        {59000, "5", both, false, 2, "0"},
        {1000, "5", both, false, 3, "0"},     // a minute on: fails again, two minutes' pause
        {60000, "5", both, false, 3, "0"},
        {60000, "5", both, false, 4, "0"},
        {0, "6", {"good"}, false, 4, "6"},    // dropped from the list, it starts afresh
        {0, "7", both, false, 5, "6"},
        {30000, "7", both, true, 5, "6"},
        {30000, "7", both, true, 6, "7"},     // whole at last: the stamp is taken
        {0, "7", both, false, 6, "7"},
    };
    for (const auto& s : steps) {
        W().virtualTicks += s.laterMs;
        up = s.up;
        Load(s.stamp, s.ids);
        EXPECT_EQ(downloads->Urls().size(), s.fetched) << W().virtualTicks;
        EXPECT_EQ(cache->BannersUpdateTime(), s.taken) << W().virtualTicks;
    }
    EXPECT_EQ(Files(), (std::set<std::string>{"flaky.png", "good.png"}));
    EXPECT_TRUE(log->Has("Banner flaky is tried again in 120 s"));
}

TEST_F(BannerCacheTest, AListIsBoundInCountAndBytes) {
    TBannerLimits limits;
    limits.banners = 4;
    limits.bannerBytes = 6;
    limits.totalBytes = 10;
    cache = std::make_unique<TBannerCache>(settings, downloads, limits);
    downloads->script = [](const std::string& url) {
        return qztest::ScriptedDownloads::Answer{url.find("id=big") != std::string::npos ? "7bytes!" : "5byte"};
    };
    // The fifth and sixth are never asked for; big is over a banner's bound;
    // c finds the budget spent by a and b.
    Load("3", {"a", "big", "b", "c", "d", "e"});
    EXPECT_EQ(Files(), (std::set<std::string>{"a.png", "b.png"}));
    EXPECT_EQ(downloads->Urls().size(), 3u);
    EXPECT_TRUE(log->Has("Banner list too long: 2 banners beyond the first 4 skipped"));
    EXPECT_TRUE(log->Has("Banners over 10 bytes: 1 skipped"));
    EXPECT_EQ(Listed(), (std::vector<std::string>{"a", "b"}));
}

// A list that comes while the worker downloads is applied once it is through.
TEST_F(BannerCacheTest, TheNewestListWins) {
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    downloads->script = [released](const std::string& url) {
        if (url.find("id=first") != std::string::npos) released.wait();
        return qztest::ScriptedDownloads::Answer{"png"};
    };
    pugi::xml_document doc;
    pugi::xml_node first = doc.append_child("banners");
    first.append_attribute("banner_update_time") = "1";
    first.append_child("banner").append_attribute("id") = "first";
    cache->LoadFromXML(first);
    ASSERT_TRUE(qztest::WaitUntil([&] { return downloads->Urls().size() == 1; }));
    pugi::xml_node second = doc.append_child("banners");
    second.append_attribute("banner_update_time") = "2";
    second.append_child("banner").append_attribute("id") = "second";
    cache->LoadFromXML(second);
    release.set_value();
    ASSERT_TRUE(cache->WaitIdle(10000));
    EXPECT_EQ(Files(), std::set<std::string>{"second.png"});
    EXPECT_EQ(Listed(), std::vector<std::string>{"second"});
    EXPECT_EQ(cache->BannersUpdateTime(), "2");
}


}  // namespace
