#include "messaging/BannerCache.h"

#include <filesystem>
#include <fstream>
#include <set>

#include "common/Settings.h"
#include "common/Utils.h"
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
    Load("5", {"bad", "down", "good"});
    EXPECT_EQ(Files(), (std::set<std::string>{"bad.png", "down.png", "good.png"}));
    EXPECT_EQ(cache->BannersUpdateTime(), "5");
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

}  // namespace
