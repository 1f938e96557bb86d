#include "commands/UpdateManager.h"

#include <filesystem>
#include <fstream>
#include <set>

#include "common/Settings.h"
#include "common/Utils.h"
#include "platform/SystemInfo.h"
#include "protocol/GuardEventsInfo.h"
#include "sessions/UserCache.h"
#include "tests/support/ScriptedDownloads.h"
#include "tests/support/TestSupport.h"

using namespace qz;

namespace {

namespace fs = std::filesystem;
using Answer = qztest::ScriptedDownloads::Answer;

class UpdateManagerTest : public qztest::PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        settings.SetServerUrl("http://guard.lab/korvane");
        downloads = std::make_shared<qztest::ScriptedDownloads>();
        downloads->script = [](const std::string&) { return Answer{"MZ installer"}; };
        TUpdateHooks h;
        h.WaitBeforeMs = 0;
        h.RetryDelayMs = [] { return 20u; };
        h.NewTransport = [this] { return downloads; };
        h.Launch = [this](const std::string& cmd, std::string& error) {
            std::lock_guard<std::mutex> hold(m);
            launched.push_back(cmd);
            error = "The system cannot find the file specified.";
            return launchWorks;
        };
        h.Later = [this](uint32_t ms, std::function<void()> fn) {
            laterMs.push_back(ms);
            later.push_back(std::move(fn));
        };
        journal = std::make_unique<TGuardEventsInfo>(users, false);
        manager = std::make_unique<TUpdateManager>(settings, *journal, h);
    }
    void Offer(const std::string& id, const std::string& file) {
        pugi::xml_document doc;
        pugi::xml_node u = doc.append_child("update");
        u.append_attribute("id") = id.c_str();
        u.append_attribute("file") = file.c_str();
        manager->LoadFromXML(u);
    }
    fs::path Folder() { return ToFsPath(TUpdateManager::GetUpdateFolder()); }
    std::string Read(const fs::path& p) {
        std::ifstream in(p, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // The update events in the journal: "id file state error".
    std::vector<std::string> Events() {
        pugi::xml_document doc;
        pugi::xml_node root = doc.append_child("command");
        journal->SaveEvents(root, "2.5");
        std::vector<std::string> out;
        for (pugi::xml_node e : root.child("events").children("event"))
            if (pugi::xml_node u = e.child("update"))
                out.push_back(std::string(u.attribute("id").value()) + " " + u.attribute("state").value() + " " +
                              u.attribute("error").value());
        return out;
    }
    std::vector<std::string> Launched() {
        std::lock_guard<std::mutex> hold(m);
        return launched;
    }
    TSettings settings;
    TUserCache users{false};
    std::unique_ptr<TGuardEventsInfo> journal;
    std::shared_ptr<qztest::ScriptedDownloads> downloads;
    std::mutex m;
    std::vector<std::string> launched;
    bool launchWorks = true;
    std::vector<uint32_t> laterMs;
    std::vector<std::function<void()>> later;
    std::unique_ptr<TUpdateManager> manager;
};

TEST_F(UpdateManagerTest, AnOfferIsDownloadedMarkedAndStartedOnce) {
    for (int i = 0; i < 3; ++i) Offer("7", "setup 2.exe");
    ASSERT_TRUE(manager->WaitIdle(5000));
    // Blanks are encoded in the address and kept on the disk.
    EXPECT_EQ(downloads->Urls(), std::vector<std::string>{"GET http://guard.lab:8080/korvane/update/setup%202.exe"});
    EXPECT_EQ(Read(Folder() / "setup 2.exe"), "MZ installer");
    EXPECT_EQ(Read(Folder() / "setup 2.start"), "7");
    const std::string local = TUpdateManager::GetUpdateFolder() + "\\setup 2.exe";
    EXPECT_EQ(Launched(), std::vector<std::string>{"\"" + local + "\" /SP- /VERYSILENT /SUPPRESSMSGBOXES"});
    EXPECT_TRUE(log->Has("Hooray. We need update id=7, filename=setup 2.exe"));
    EXPECT_TRUE(Events().empty());
}

TEST_F(UpdateManagerTest, TheInstallerIsWrittenFreshNeverThroughWhatHasItsName) {
    const fs::path precious = ToFsPath(W().commonAppData) / "precious.txt";
    std::ofstream(precious) << "keep";
    fs::create_directories(Folder());
    // A hard link looks like any file to the folder's securing, which removes only links.
    if (!qztest::kHostIsWindows)
        fs::create_hard_link(precious, Folder() / "setup.exe");
    else
        std::ofstream(Folder() / "setup.exe") << "old";
    Offer("7", "setup.exe");
    ASSERT_TRUE(manager->WaitIdle(5000));
    EXPECT_EQ(Read(precious), "keep");
    EXPECT_EQ(Read(Folder() / "setup.exe"), "MZ installer");
    EXPECT_EQ(Read(Folder() / "setup.start"), "7");
    // Each made with the protected list, not the old file's.
    const std::string folder = TUpdateManager::GetUpdateFolder() + "\\";
    for (const char* f : {"setup.exe", "setup.start"})
        EXPECT_EQ(W().fileLists.count(platform::AsciiLower(folder + f)), 1u) << f;
    EXPECT_EQ(W().fileLists[platform::AsciiLower(folder + "setup.exe")], platform::files::Others::None);
    // Started from where it was written.
    EXPECT_EQ(Launched(), std::vector<std::string>{"\"" + folder + "setup.exe\" /SP- /VERYSILENT /SUPPRESSMSGBOXES"});
    std::set<std::string> names;
    for (const auto& e : fs::directory_iterator(Folder())) names.insert(e.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"setup.exe", "setup.start"}));  // no temporary file left
}

TEST_F(UpdateManagerTest, FailuresEndInTheirErrorCodes) {
    // The server refuses: "win-1", and the same id isn't tried again.
    downloads->script = [](const std::string&) { return Answer{"", 404}; };
    Offer("1", "setup.exe");
    ASSERT_TRUE(manager->WaitIdle(5000));
    Offer("1", "setup.exe");
    ASSERT_TRUE(manager->WaitIdle(5000));
    EXPECT_EQ(downloads->Urls().size(), 1u);
    EXPECT_EQ(Events(), std::vector<std::string>{"1 False win-1"});
    EXPECT_FALSE(fs::exists(Folder() / "setup.start"));

    // The network fails twice, then the installer arrives but won't start: "win-2", the marker stays.
    int calls = 0;
    downloads->script = [&calls](const std::string&) { return ++calls <= 2 ? Answer{"", 0} : Answer{"MZ"}; };
    launchWorks = false;
    Offer("2", "setup.exe");
    ASSERT_TRUE(manager->WaitIdle(5000));
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(Events(), (std::vector<std::string>{"1 False win-1", "2 False win-2"}));
    EXPECT_TRUE(log->Has("Can not start updater The system cannot find the file specified."));
    EXPECT_EQ(Read(Folder() / "setup.start"), "2");
}

TEST_F(UpdateManagerTest, ANewIdStopsTheDownloadUnderWay) {
    downloads->script = [](const std::string& url) {
        return url.find("old.exe") != std::string::npos ? Answer{"", 0} : Answer{"MZ new"};
    };
    Offer("1", "old.exe");
    ASSERT_TRUE(qztest::WaitUntil([&] { return downloads->Urls().size() >= 2; }));
    Offer("2", "new.exe");
    ASSERT_TRUE(manager->WaitIdle(5000));
    EXPECT_EQ(Launched().size(), 1u);
    EXPECT_NE(Launched()[0].find("new.exe"), std::string::npos);
    EXPECT_FALSE(fs::exists(Folder() / "old.start"));
    EXPECT_EQ(manager->UpdateId(), "2");
}

TEST_F(UpdateManagerTest, AFileNameThatIsAPathIsRefused) {
    for (const char* file : {"..\\..\\evil.exe", "C:\\Windows\\evil.exe", "sub/evil.exe", "con.exe", ""}) {
        Offer(std::string("id-") + file, file);
        ASSERT_TRUE(manager->WaitIdle(5000));
    }
    EXPECT_TRUE(downloads->Urls().empty());
    EXPECT_TRUE(Launched().empty());
    EXPECT_TRUE(log->Has("Update refused, not a plain file name: \"..\\..\\evil.exe\" (id=id-..\\..\\evil.exe)"));
}

TEST_F(UpdateManagerTest, TheOutcomeIsFoundAtTheNextStart) {
    struct Case {
        std::vector<std::string> files;  // created in this order
        std::string event;
    } cases[] = {
        {{"setup.start"}, "42 False win-3"},
        {{"setup.ok", "setup.start"}, "42 True "},
        {{}, ""},
    };
    for (const auto& c : cases) {
        // A fresh station for each case.
        manager.reset();
        later.clear();
        laterMs.clear();
        UpdateManagerTest::TearDown();
        UpdateManagerTest::SetUp();
        fs::create_directories(Folder());
        for (const auto& f : c.files) std::ofstream(Folder() / f) << "42\r\nrest";
        std::ofstream(Folder() / "setup.exe") << "MZ";
        manager->LoadFromDisk();
        if (c.event.empty()) {
            EXPECT_TRUE(Events().empty());
            EXPECT_TRUE(later.empty());
            continue;
        }
        EXPECT_EQ(Events(), std::vector<std::string>{c.event});
        EXPECT_EQ(manager->UpdateId(), "42");
        EXPECT_EQ(manager->UpdateFile(), "setup.exe");
        // The installer goes half a minute later; the same id isn't taken again.
        ASSERT_EQ(laterMs, std::vector<uint32_t>{30000});
        later[0]();
        EXPECT_FALSE(fs::exists(Folder() / "setup.exe"));
        EXPECT_TRUE(fs::exists(Folder())) << "the marker waits for the server's acknowledgement";
        Offer("42", "setup.exe");
        ASSERT_TRUE(manager->WaitIdle(5000));
        EXPECT_TRUE(downloads->Urls().empty());
    }
}

TEST_F(UpdateManagerTest, TheFolderGoesWithTheInstallerWhenTheEventWasAcknowledgedFirst) {
    fs::create_directories(Folder());
    std::ofstream(Folder() / "setup.ok") << "42";
    std::ofstream(Folder() / "setup.exe") << "MZ";
    manager->LoadFromDisk();
    // The acknowledgement took the marker while the installer was still running.
    fs::remove(Folder() / "setup.ok");
    ASSERT_EQ(later.size(), 1u);
    later[0]();
    EXPECT_FALSE(fs::exists(Folder()));
}

TEST_F(UpdateManagerTest, TheOldFolderIsMovedAtStart) {
    W().systemDir = W().commonAppData + "\\system32";
    const fs::path old = ToFsPath(platform::sys::SystemDir() + "\\TallistoClient\\Update");
    fs::create_directories(old / "sub");
    std::ofstream(old / "setup.start") << "9";
    std::ofstream(old / "sub" / "x.txt") << "x";
    manager->LoadFromDisk();
    EXPECT_EQ(Read(Folder() / "setup.start"), "9");
    EXPECT_TRUE(fs::exists(Folder() / "sub" / "x.txt"));
    EXPECT_FALSE(fs::exists(old / "setup.start"));
    EXPECT_TRUE(fs::exists(old / "sub"));
    EXPECT_EQ(Events(), std::vector<std::string>{"9 False win-3"});
}

}  // namespace
