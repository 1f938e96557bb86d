#include "manager/Init.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "common/Settings.h"
#include "common/Utils.h"
#include "manager/ControlPanelUtils.h"
#include "manager/Unattended.h"
#include "platform/Registry.h"
#include "tests/manager/ManagerGuard.h"
#include "tests/support/TestSupport.h"

using namespace qz;
namespace fs = std::filesystem;
using Strings = std::vector<std::string>;

namespace {

const platform::reg::Key kAppletClass{platform::reg::Hive::ClassesRoot,
                                      std::string("CLSID\\") + TControlPanelUtils::AppletId,
                                      platform::reg::View::Wow64};
const std::string kAdminText =
    "Local system administrator's privileges are required to run Tallisto Client Manager.\n\rProgram will now exit.";
const std::string kNotInstalledText =
    "Tallisto Client Service is not installed on your system.\n\rReinstall Tallisto Client.";

void WriteFile(const std::string& path, const std::string& text) {
    fs::create_directories(ToFsPath(path).parent_path());
    std::ofstream(ToFsPath(path), std::ios::binary) << text;
}

// Every registry value of the fake world, as bytes.
std::map<std::string, std::map<std::string, std::vector<uint8_t>>> RegistryBytes() {
    std::map<std::string, std::map<std::string, std::vector<uint8_t>>> out;
    for (const auto& [key, values] : platform::fake::W().keys) {
        auto& into = out[key];
        for (const auto& [lower, named] : values) into[lower] = named.second.bytes;
    }
    return out;
}

bool Exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(ToFsPath(path), ec);
}

class ManagerStartup : public qztest::PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        W().virtualSleep = true;
        fs::create_directories(ToFsPath(GetAgentDataFolder()));
        programDir = GetAgentDataFolder() + "Program\\";
        hooks.ProgramPath = programDir + "QZManager.exe";
        hooks.ErrorBox = [this](const std::string& text) { boxes.push_back(text); };
        boxes.clear();
    }
    // A clean world for the next case of a table.
    void Fresh() {
        TearDown();
        SetUp();
    }
    void StageAgent() {
        auto& svc = W().services["tallistoclient"];
        svc.config.name = "TallistoClient";
        svc.state = {platform::scm::StateRunning, 0, 0, 0};
        svc.script = {{platform::scm::StateStopped, 0, 0, 0}, {platform::scm::StateRunning, 0, 0, 0}};
    }
    TStartupOutcome Run(const Strings& args) {
        TCommunicationModule comm(guard);
        return RunStartup(args, comm, hooks);
    }

    std::shared_ptr<qztest::ManagerGuard> guard = std::make_shared<qztest::ManagerGuard>();
    std::string programDir;
    TStartupHooks hooks;
    Strings boxes;
};

}  // namespace

TEST(ManagerStartupSwitches, AnyCaseAfterDashOrSlash) {
    const struct {
        Strings args;
        TStartupSwitches expected;
    } cases[] = {
        {{"/REGISTER_CP"}, {false, true, false, false, false}},
        {{"-register_cp"}, {false, true, false, false, false}},
        {{"x", "/Install", "-UnRegister_User"}, {true, false, false, false, true}},
        {{"-unregister_cp", "/register_user"}, {false, false, true, true, false}},
        {{"register_cp", "--install", "/install_now", "\\install", "/", ""}, {}},
    };
    for (const auto& c : cases) {
        const TStartupSwitches s = ParseStartupSwitches(c.args);
        const std::string at = c.args.empty() ? "" : c.args[0];
        EXPECT_EQ(s.Install, c.expected.Install) << at;
        EXPECT_EQ(s.RegisterCp, c.expected.RegisterCp) << at;
        EXPECT_EQ(s.UnregisterCp, c.expected.UnregisterCp) << at;
        EXPECT_EQ(s.RegisterUser, c.expected.RegisterUser) << at;
        EXPECT_EQ(s.UnregisterUser, c.expected.UnregisterUser) << at;
    }
}

TEST_F(ManagerStartup, Decisions) {
    const struct {
        std::string name;
        bool admin, installed, configFile, appletBefore;
        Strings args;
        TStartupOutcome outcome;
        Strings boxes;
        bool appletAfter, configured;
    } cases[] = {
        {"register_cp", true, true, false, false, {"/REGISTER_CP"}, TStartupOutcome::End, {}, true, false},
        {"register_cp with a file", true, true, true, false, {"-register_cp"}, TStartupOutcome::End, {}, true, true},
        {"file alone", true, true, true, false, {}, TStartupOutcome::End, {}, false, true},
        {"file without the agent", true, false, true, false, {}, TStartupOutcome::End, {}, false, true},
        {"unregister_cp wins", true, true, true, true, {"-register_cp", "/unregister_cp"}, TStartupOutcome::End, {},
         false, false},
        {"install", true, true, false, false, {"/install"}, TStartupOutcome::ShowMainWindow, {}, true, false},
        {"plain start", true, true, false, false, {}, TStartupOutcome::ShowMainWindow, {}, false, false},
        {"agent missing", true, false, false, false, {"/install"}, TStartupOutcome::End, {kNotInstalledText}, false,
         false},
        {"no rights", false, true, true, true, {"/unregister_cp", "/register_user"}, TStartupOutcome::End,
         {kAdminText}, true, false},
    };
    for (const auto& c : cases) {
        Fresh();
        W().currentTokenIsAdmin = c.admin;
        if (c.installed) StageAgent();
        if (c.configFile) WriteFile(UnattendedConfigPath(), "[Params]\nserverip=10.9.8.7\n");
        if (c.appletBefore) TControlPanelUtils::RegisterApplet(hooks.ProgramPath);
        EXPECT_EQ(Run(c.args), c.outcome) << c.name;
        EXPECT_EQ(boxes, c.boxes) << c.name;
        EXPECT_EQ(platform::reg::KeyExists(kAppletClass), c.appletAfter) << c.name;
        // A configuration run deletes the file and leaves the settings behind.
        EXPECT_EQ(Exists(UnattendedConfigPath()), c.configFile && !c.configured) << c.name;
        EXPECT_EQ(Exists(TSettings::SettingsFilePath()), c.configured) << c.name;
    }
}

TEST_F(ManagerStartup, WithoutRightsNothingIsReadWrittenOrStarted) {
    W().currentTokenIsAdmin = false;
    StageAgent();
    WriteFile(UnattendedConfigPath(), "[Params]\nserverip=10.9.8.7\nunlockpassword=x\nroom=R\nmodel=M\nimage=I\n");
    WriteFile(programDir + "Authorize.dll", "");
    WriteFile(GetAgentDataFolder() + "Autologon.ini", "");
    const auto registryBefore = RegistryBytes();
    const auto scriptBefore = W().services["tallistoclient"].script.size();

    EXPECT_EQ(Run({"/register_user", "/unregister_user", "/install"}), TStartupOutcome::End);
    EXPECT_EQ(boxes, Strings{kAdminText});
    EXPECT_EQ(RegistryBytes(), registryBefore);
    EXPECT_TRUE(W().startedProcesses.empty());
    EXPECT_EQ(W().services["tallistoclient"].script.size(), scriptBefore);  // not even asked
    EXPECT_TRUE(guard->Requests().empty());
    EXPECT_TRUE(Exists(UnattendedConfigPath()));
    EXPECT_FALSE(log->Has("Register user"));
}

TEST_F(ManagerStartup, UserSwitchesStartTheLibraryAndTheStartUpGoesOn) {
    W().currentTokenIsAdmin = true;
    StageAgent();
    WriteFile(programDir + "Authorize.dll", "");
    WriteFile(GetAgentDataFolder() + "Autologon.ini", "");
    EXPECT_EQ(Run({"-unregister_user", "-register_user"}), TStartupOutcome::ShowMainWindow);
    const std::string rundll = "\"C:\\Windows\\system32\\rundll32.exe\"";
    const std::string library = "\"" + programDir + "Authorize.dll\"";
    // Register first, then remove, whatever the order on the line.
    EXPECT_EQ(W().startedProcesses,
              (Strings{rundll + " " + library + ",RegisterUser", rundll + " " + library + ",UnRegisterUser"}));
    EXPECT_GE(log->Find("UnRegister user"), log->Find("Register user"));
    EXPECT_TRUE(log->Has("start rundll " + rundll + " " + library + ",RegisterUser"));
}

TEST_F(ManagerStartup, TheLibraryIsStartedOnlyWhenItsFilesAreThere) {
    const struct {
        bool library, autologon;
        std::string entry;
        bool expectStart;
    } cases[] = {
        {true, true, "RegisterUser", true},    {true, false, "RegisterUser", false},
        {false, true, "RegisterUser", false},  {true, false, "UnRegisterUser", true},
        {false, true, "UnRegisterUser", false},
    };
    for (const auto& c : cases) {
        Fresh();
        if (c.library) WriteFile(programDir + "Authorize.dll", "");
        if (c.autologon) WriteFile(GetAgentDataFolder() + "Autologon.ini", "");
        if (c.entry == "RegisterUser")
            RegisterAuthorizeUser(hooks.ProgramPath);
        else
            UnregisterAuthorizeUser(hooks.ProgramPath);
        EXPECT_TRUE(log->Has(c.entry == "RegisterUser" ? "Register user" : "UnRegister user"));
        EXPECT_EQ(W().startedProcesses.size(), c.expectStart ? 1u : 0u)
            << c.entry << " library " << c.library << " autologon " << c.autologon;
    }
}

TEST_F(ManagerStartup, AStartThatFailsIsLogged) {
    WriteFile(programDir + "Authorize.dll", "");
    W().startProgramFails = true;
    UnregisterAuthorizeUser(hooks.ProgramPath);
    EXPECT_TRUE(log->Has("Start rundll32 failed The system cannot find the file specified"));
}
