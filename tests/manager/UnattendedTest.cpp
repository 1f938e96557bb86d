#include "manager/Unattended.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/Settings.h"
#include "common/Utils.h"
#include "tests/manager/ManagerGuard.h"
#include "tests/support/TestSupport.h"

using namespace qz;
using qztest::GuardAnswer;
namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

const std::string kDefaultHash = "YHPbWGFM+IHNox7JSHsHAg==";  // "HiddenMarigold"
const std::string kHarbourHash = "CGCbzzh9ExYqUp+8Dt/1CA==";
const std::string kSpacedHash = "Rp6DQXCQ8X8fiVZof6bjRw==";   // " spaced "

const std::string kDirectory = R"(<response><result>success</result><station_directory>
  <rooms><room id="11"><name>Lab A</name></room><room id="12"><name> Physics Lab </name></room></rooms>
  <images><image id="31"><name>Win11 Base</name></image></images>
  <models><model id="21"><name>OptiPlex</name></model></models>
</station_directory></response>)";

void WriteFile(const std::string& path, const std::string& text) {
    fs::create_directories(ToFsPath(path).parent_path());
    std::ofstream(ToFsPath(path), std::ios::binary) << text;
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(ToFsPath(path), ec);
}

std::string AutoregLog() {
    std::ifstream in(ToFsPath(GetAgentDataFolder() + "logs\\Autoreg.log"), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class ManagerUnattended : public qztest::PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        W().virtualSleep = true;
        W().computerName = "LAB PC 7";
        fs::create_directories(ToFsPath(GetAgentDataFolder()));
    }
    void Fresh() {
        TearDown();
        SetUp();
        guard = std::make_shared<qztest::ManagerGuard>();
    }
    // The agent's service: stops, then starts, when asked.
    void StageAgent() {
        auto& svc = W().services["tallistoclient"];
        svc.config.name = "TallistoClient";
        svc.state = {platform::scm::StateRunning, 0, 0, 0};
        svc.script = {{platform::scm::StateStopped, 0, 0, 0}, {platform::scm::StateRunning, 0, 0, 0}};
    }
    void Configure(const std::string& ini) {
        WriteFile(UnattendedConfigPath(), ini);
        TCommunicationModule comm(guard);
        RunUnattendedSetup(comm);
    }
    // Saved settings under which the stub server knows the station.
    void SaveKnownSettings() {
        TSettings s;
        s.SetServerUrl("guard.example");
        s.SetPasswordHash(qztest::kGuardHash);
        ASSERT_TRUE(s.SaveSettings());
    }
    std::optional<std::string> Telephone() {
        const auto v = platform::reg::QueryValue(AgentKey(), "telephone");
        return v ? std::optional<std::string>(v->text) : std::nullopt;
    }

    std::shared_ptr<qztest::ManagerGuard> guard = std::make_shared<qztest::ManagerGuard>();
};

}  // namespace

TEST(ManagerUnattendedFile, ReadAsTheSystemReadsIniFiles) {
    const struct {
        std::string text;
        std::string ip, password, unlock, room;
        bool hasUnlock;
    } cases[] = {
        {"", "127.0.0.2", "HiddenMarigold", "", "", false},
        {"[Params]\nserverip=10.0.0.1\n", "10.0.0.1", "HiddenMarigold", "", "", false},
        {"\xEF\xBB\xBF[params]\r\nServerIP = 10.0.0.1 \r\nSERVERPASSWORD=\"  pw  \"\r\n", "10.0.0.1", "  pw  ", "", "",
         false},
        {"[ Params ]\nunlockpassword='secret'\nroom=  Lab A  \n", "127.0.0.2", "HiddenMarigold", "secret", "Lab A",
         true},
        // Keys of other sections, comments and repeats don't count.
        {"[Other]\nserverip=1.1.1.1\n[Params]\n;serverip=2.2.2.2\nserverip=3.3.3.3\nserverip=4.4.4.4\n[More]\n"
         "serverpassword=nope\n",
         "3.3.3.3", "HiddenMarigold", "", "", false},
        {"[Params]\nserverip=\nunlockpassword=\n", "", "HiddenMarigold", "", "", false},
        {"serverip=5.5.5.5\n", "127.0.0.2", "HiddenMarigold", "", "", false},
    };
    for (const auto& c : cases) {
        const TUnattendedParams p = ParseUnattendedParams(c.text);
        EXPECT_EQ(p.ServerIp, c.ip) << c.text;
        EXPECT_EQ(p.ServerPassword, c.password) << c.text;
        EXPECT_EQ(p.HasUnlockPassword, c.hasUnlock) << c.text;
        EXPECT_EQ(p.UnlockPassword, c.unlock) << c.text;
        EXPECT_EQ(p.Room, c.room) << c.text;
    }
}

TEST_F(ManagerUnattended, EachKeyMissingInTurn) {
    const struct {
        std::string ini;
        std::string url, hash;
        std::optional<std::string> telephone;
    } cases[] = {
        {"[Params]\nserverip=10.9.8.7\n", "10.9.8.7", kDefaultHash, "untouched"},
        {"[Params]\nserverpassword=harbour\n", "127.0.0.2", kHarbourHash, "untouched"},
        {"[Params]\nserverip=10.9.8.7\nserverpassword=\" spaced \"\nunlockpassword=harbour\n", "10.9.8.7",
         kSpacedHash, kHarbourHash},
        {"[Params]\nunlockpassword=' spaced '\nroom=Lab A\nmodel=OptiPlex\n", "127.0.0.2", kDefaultHash,
         kSpacedHash},
    };
    for (const auto& c : cases) {
        Fresh();
        StageAgent();
        TUtils::WriteRegistryKey("telephone", "untouched");
        Configure(c.ini);
        TSettings saved;
        ASSERT_TRUE(saved.LoadFromFile(TSettings::SettingsFilePath())) << c.ini;
        EXPECT_EQ(saved.ServerUrl(), c.url) << c.ini;
        EXPECT_EQ(saved.PasswordHash(), c.hash) << c.ini;
        EXPECT_EQ(Telephone(), c.telephone) << c.ini;
        // Without all of room, model and image nobody asks the server.
        EXPECT_TRUE(guard->Requests().empty()) << c.ini;
        EXPECT_FALSE(Exists(UnattendedConfigPath())) << c.ini;
        EXPECT_EQ(W().services["tallistoclient"].state.currentState, platform::scm::StateRunning) << c.ini;
        EXPECT_TRUE(W().services["tallistoclient"].script.empty()) << c.ini;  // stopped, then started
        EXPECT_TRUE(log->Has("Start unattended setup"));
    }
}

TEST_F(ManagerUnattended, ThePasswordNeverReachesTheLog) {
    Configure("[Params]\nserverip=10.9.8.7\nserverpassword=Tr0ub4dor\n");
    EXPECT_TRUE(log->Has("ServerIp=10.9.8.7, ServerPassword=***"));
    for (const auto& line : log->Lines()) EXPECT_EQ(line.find("Tr0ub4dor"), std::string::npos) << line;
}

TEST_F(ManagerUnattended, OtherSettingsSurviveTheRun) {
    TSettings before;
    before.SetListenerPort(9001);
    before.SetRoomName("kept");
    ASSERT_TRUE(before.SaveSettings());
    Configure("[Params]\nserverip=10.9.8.7\n");
    TSettings after;
    ASSERT_TRUE(after.LoadFromFile(TSettings::SettingsFilePath()));
    EXPECT_EQ(after.ListenerPort(), 9001);
    EXPECT_EQ(after.RoomName(), "kept");
    EXPECT_EQ(after.ServerUrl(), "10.9.8.7");
}

TEST_F(ManagerUnattended, AFailingStepLeavesTheFileForAnotherTry) {
    const struct {
        std::string name;
        std::string ini;
        std::function<void()> stage;
        std::string logged;
        uint32_t agentAfter;
    } cases[] = {
        // The run breaks off after the stop: the agent is started again all the same.
        {"registry refuses", "[Params]\nunlockpassword=x\n", [] { platform::fake::W().registryReadOnly = true; },
         "Deploy Setting error:SystemError : Access is denied", platform::scm::StateRunning},
        {"settings not saved", "[Params]\nserverip=1.2.3.4\n", [] { platform::fake::W().replaceFailures = 1000; },
         "Deploy Setting error:Exception : The settings could not be saved", platform::scm::StateRunning},
        {"oversized file", "[Params]\nserverip=1.2.3.4\n;" + std::string(70000, 'x') + "\n", [] {},
         "Deploy Setting error:SystemError : System error 223", platform::scm::StateRunning},
    };
    for (const auto& c : cases) {
        Fresh();
        StageAgent();
        c.stage();
        Configure(c.ini);
        EXPECT_TRUE(log->Has(c.logged)) << c.name;
        EXPECT_TRUE(Exists(UnattendedConfigPath())) << c.name;
        EXPECT_EQ(W().services["tallistoclient"].state.currentState, c.agentAfter) << c.name;
    }
}

TEST_F(ManagerUnattended, AnAgentThatWontStartAgainIsLogged) {
    StageAgent();
    W().services["tallistoclient"].startFails = true;
    W().registryReadOnly = true;
    Configure("[Params]\nunlockpassword=x\n");
    EXPECT_TRUE(log->Has("Deploy Setting error: the service TallistoClient did not start again"));
}

TEST(ManagerUnattendedDirectory, NamesMatchTrimmedAndWithoutCase) {
    const struct {
        std::string room, model, image;
        int roomId, modelId, imageId;
    } cases[] = {
        {"Lab A", "OptiPlex", "Win11 Base", 11, 21, 31},
        {"  PHYSICS lab ", "optiplex", " win11 base", 12, 21, 31},
        {"Lab B", "OptiPlex", "Win11 Base", -1, 21, 31},
        {"Lab A", "Latitude", "Win10", 11, -1, -1},
    };
    for (const auto& c : cases) {
        const TDirectoryIds ids = FindDirectoryIds(kDirectory, c.room, c.model, c.image);
        EXPECT_EQ(ids.Room, c.roomId) << c.room;
        EXPECT_EQ(ids.Model, c.modelId) << c.model;
        EXPECT_EQ(ids.Image, c.imageId) << c.image;
    }
}

TEST_F(ManagerUnattended, ABrokenDirectoryFindsOnlyWhatCameBeforeTheFault) {
    const struct {
        std::string directory;
        int room, model, image;
        bool xmlError;
    } cases[] = {
        {"<response><result>failure</result></response>", -1, -1, -1, false},
        {"not xml", -1, -1, -1, true},
        {"<r><result>success</result></r>", -1, -1, -1, true},
        {"<r><result>success</result><station_directory><rooms><room id=\"4\"><name>A</name></room></rooms>"
         "<models><model id=\"x\"><name>M</name></model></models></station_directory></r>",
         4, -1, -1, true},
        {"<r><result>success</result><station_directory><rooms><room id=\"4\"><name>A</name></room></rooms>"
         "<models><model id=\"5\"><name>M</name></model></models></station_directory></r>",
         4, 5, -1, true},
    };
    for (const auto& c : cases) {
        Fresh();
        const TDirectoryIds ids = FindDirectoryIds(c.directory, "a", "m", "i");
        EXPECT_EQ(ids.Room, c.room) << c.directory;
        EXPECT_EQ(ids.Model, c.model) << c.directory;
        EXPECT_EQ(ids.Image, c.image) << c.directory;
        bool logged = false;
        for (const auto& line : log->Lines()) logged = logged || line.rfind("xml error", 0) == 0;
        EXPECT_EQ(logged, c.xmlError) << c.directory;
    }
}

TEST_F(ManagerUnattended, RegistrationOutcomesGoToItsLog) {
    const std::string names = "room= physics LAB\nmodel=OptiPlex\nimage=Win11 Base\n";
    const auto notListed = GuardAnswer::Byte(qztest::kNotListed);
    const struct {
        std::string name;
        GuardAnswer test;
        std::string password;
        GuardAnswer directory;
        std::string names;
        Strings requests;
        std::string last;
    } cases[] = {
        {"known", GuardAnswer::Doc(qztest::KnownStationReply()), "harbour", GuardAnswer::Doc(kDirectory), names,
         {"test"}, "Workstation is already registered"},
        {"wrong password", notListed, "not the one", GuardAnswer::Doc(kDirectory), names, {"test"},
         "Can not register workstation: wrong password"},
        {"down", GuardAnswer::NoReply(), "harbour", GuardAnswer::Doc(kDirectory), names, {"test"},
         "Can not register workstation: can not connect"},
        {"banned", GuardAnswer::Byte(qztest::kBanned), "harbour", GuardAnswer::Doc(kDirectory), names, {"test"},
         "Can not register workstation: unknown server response"},
        {"no change", GuardAnswer::Byte(qztest::kNoChange), "harbour", GuardAnswer::Doc(kDirectory), names, {"test"},
         "Can not register workstation: unknown server response"},
        {"unknown room", notListed, "harbour", GuardAnswer::Doc(kDirectory),
         "room=Chemistry\nmodel=OptiPlex\nimage=Win11 Base\n", {"test", "directory"},
         "Can not find room Chemistry on the server"},
        {"unknown model", notListed, "harbour", GuardAnswer::Doc(kDirectory),
         "room=Lab A\nmodel=Latitude\nimage=Nope\n", {"test", "directory"},
         "Can not find model Latitude on the server"},
        {"unknown image", notListed, "harbour", GuardAnswer::Doc(kDirectory),
         "room=Lab A\nmodel=OptiPlex\nimage=Nope\n", {"test", "directory"}, "Can not find image Nope on the server"},
        {"directory refused", notListed, "harbour", GuardAnswer::Byte(qztest::kDecryptFailed), names,
         {"test", "directory"}, "Can not find room physics LAB on the server"},
    };
    for (const auto& c : cases) {
        Fresh();
        guard->Test({c.test});
        guard->Directory(c.directory);
        Configure("[Params]\nserverip=guard.example\nserverpassword=" + c.password + "\n" + c.names);
        EXPECT_EQ(guard->Requests(), c.requests) << c.name;
        EXPECT_TRUE(guard->Registered().empty()) << c.name;
        const std::string text = AutoregLog();
        EXPECT_NE(text.find("Start autoreg\r\n"), std::string::npos) << c.name;
        EXPECT_NE(text.find(c.last + "\r\n"), std::string::npos) << c.name << "\n" << text;
        EXPECT_FALSE(Exists(UnattendedConfigPath())) << c.name;
    }
}

TEST_F(ManagerUnattended, ANewStationIsRegisteredByName) {
    guard->Test({GuardAnswer::Byte(qztest::kNotListed)});
    guard->Directory(GuardAnswer::Doc(kDirectory));
    // Even on a session host the unattended document says nothing of it.
    W().version.productType = platform::sys::ProductServer;
    W().wmiTables["root\\CIMV2|SELECT * FROM Win32_ServerFeature"] = {{{"ID", "130"}}};
    Configure("[Params]\nserverip=guard.example\nserverpassword=harbour\nroom= physics LAB\nmodel=OPTIPLEX\n"
              "image=win11 base\n");

    EXPECT_EQ(guard->Requests(), (Strings{"test", "directory", "add_ws"}));
    ASSERT_EQ(guard->Registered().size(), 1u);
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string(guard->Registered()[0].c_str()));
    const pugi::xml_node st = doc.child("command").child("station");
    EXPECT_EQ(std::string(st.child_value("name")), "LAB PC 7");
    EXPECT_TRUE(st.child("specific_software"));
    EXPECT_EQ(std::string(st.child_value("specific_software")), "");
    EXPECT_FALSE(st.child("multisession"));
    EXPECT_EQ(std::string(st.child("room").attribute("id").value()), "12");
    EXPECT_EQ(std::string(st.child("model").attribute("id").value()), "21");
    EXPECT_EQ(std::string(st.child("image").attribute("id").value()), "31");

    const std::string text = AutoregLog();
    for (const std::string line :
         {"Start autoreg", "Autoreg: Model Name=OPTIPLEX,Room Name=physics LAB,Image Name=win11 base",
          "Autoreg: Model Id=21,Room Id=12,Image Id=31", "Workstation has been added successfully"})
        EXPECT_NE(text.find(line + "\r\n"), std::string::npos) << line << "\n" << text;
    // Lines below the log's level stay out, and the log goes with the run.
    EXPECT_EQ(text.find("station dir:"), std::string::npos);
    TLogger::Throwing("after the run");
    EXPECT_EQ(AutoregLog().find("after the run"), std::string::npos);
    EXPECT_FALSE(Exists(UnattendedConfigPath()));
}

TEST_F(ManagerUnattended, ARefusedRegistrationLogsTheServersReason) {
    const struct {
        GuardAnswer reply;
        std::string line;
    } cases[] = {
        {GuardAnswer::Doc(qztest::ResultReply(false, "name taken")),
         "Workstation failed to register with Tallisto Server name taken"},
        {GuardAnswer::Doc(qztest::ResultReply(false)), "Workstation failed to register with Tallisto Server\r\n"},
    };
    for (const auto& c : cases) {
        Fresh();
        guard->Test({GuardAnswer::Byte(qztest::kNotListed)});
        guard->Directory(GuardAnswer::Doc(kDirectory));
        guard->Registration(c.reply);
        Configure("[Params]\nserverip=guard.example\nserverpassword=harbour\nroom=Lab A\nmodel=OptiPlex\n"
                  "image=Win11 Base\n");
        EXPECT_NE(AutoregLog().find(c.line), std::string::npos) << c.line;
    }
}

namespace {

TEST(ManagerDeployProperties, AnInstallersPropertiesBecomeTheFileTheReaderGivesBack) {
    struct Case {
        std::string server, port, serverIp;
    } cases[] = {
        {"guard.example.edu", "8080", "guard.example.edu:8080"},
        {"guard.example.edu/korvane", "8080", "guard.example.edu:8080/korvane"},
        {"http://guard/korvane", "81", "http://guard:81/korvane"},
        {"guard:9000/korvane", "8080", "guard:9000/korvane"},
        {" guard ", "", "guard"},
    };
    for (const auto& c : cases) {
        qz::TDeployProperties in;
        in.Server = c.server;
        in.Port = c.port;
        const auto back = qz::ParseUnattendedParams(qz::UnattendedConfigText(in));
        EXPECT_EQ(back.ServerIp, c.serverIp) << c.server;
        EXPECT_EQ(back.ServerPassword, qz::TUnattendedParams::DefaultServerPassword);
        EXPECT_FALSE(back.HasUnlockPassword);
        EXPECT_TRUE(back.Room.empty());
    }

    // Blanks, quotes and separators survive; a line break can't smuggle in a key.
    qz::TDeployProperties p = qz::ParseDeployProperties(
        "SERVER=guard\nPORT=\nPASSWORD= \"p;w=d\" \nUNLOCKPASSWORD=open\nROOM=Lab A\nMODEL=Desk PC\nIMAGE=Std\nOTHER=x");
    p.Room += "\r\nroom=Elsewhere";
    const auto back = qz::ParseUnattendedParams(qz::UnattendedConfigText(p));
    EXPECT_EQ(back.ServerIp, "guard");
    EXPECT_EQ(back.ServerPassword, " \"p;w=d\" ");
    EXPECT_TRUE(back.HasUnlockPassword);
    EXPECT_EQ(back.UnlockPassword, "open");
    EXPECT_EQ(back.Room, "Lab Aroom=Elsewhere");
    EXPECT_EQ(back.Model, "Desk PC");
    EXPECT_EQ(back.Image, "Std");
}

}  // namespace
