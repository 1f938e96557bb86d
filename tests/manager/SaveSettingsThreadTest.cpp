#include "manager/SaveSettingsThread.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "common/Utils.h"
#include "manager/Main.h"
#include "tests/manager/ManagerGuard.h"
#include "tests/support/TestSupport.h"

using namespace qz;
using qztest::GuardAnswer;
using Strings = std::vector<std::string>;

namespace {

const std::string kDirectory =
    "<response><result>success</result><station_directory><rooms/><images/><models/></station_directory></response>";

// Records what the wizard shows, and whether each call came through Synchronize.
class RecordingView : public TWizardView {
public:
    Strings events;
    bool inSync = false;
    int callsOutsideSync = 0;
    std::optional<std::string> dialogAnswer;

    void AddLine(TMessageKind kind, const std::string& line) override {
        Note((kind == TMessageKind::Success ? "+ " : kind == TMessageKind::Failure ? "- " : "  ") + line);
    }
    void HideWaitAndEnable() override { Note("[wait hidden]"); }
    std::optional<std::string> ShowRegisterDialog(const std::string& serverDirectory,
                                                  const std::string& serverUri) override {
        Note("[dialog " + serverUri + "]");
        shownDirectory = serverDirectory;
        return dialogAnswer;
    }
    void ShowMessagesWindow() override { Note("[messages]"); }
    void FailedToStopAndExit() override { Note("[failed to stop: exit]"); }
    void WizardDone() override { Note("[done]"); }
    std::string shownDirectory;

private:
    void Note(const std::string& e) {
        if (!inSync) ++callsOutsideSync;
        events.push_back(e);
    }
};

class ManagerWizard : public qztest::PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        W().virtualSleep = true;
        std::filesystem::create_directories(ToFsPath(GetAgentDataFolder()));
        settings.SetServerUrl("guard.example");
        settings.SetPasswordHash(qztest::kGuardHash);
        StageAgent(true);
        hooks.Synchronize = [this](const std::function<void()>& f) {
            view.inSync = true;
            f();
            view.inSync = false;
        };
        hooks.Sleep = [this](uint32_t ms) { sleeps.push_back(ms); };
    }
    // The agent's service, settling into each state the wizard asks for.
    void StageAgent(bool running) {
        auto& svc = W().services["tallistoclient"];
        svc.config.name = ServiceName;
        svc.state = {running ? platform::scm::StateRunning : platform::scm::StateStopped, 0, 0, 0};
        // The status query, then the stop (when running) and the start.
        svc.script.clear();
        svc.script.push_back(svc.state);
        if (running) svc.script.push_back({platform::scm::StateStopped, 0, 0, 0});
        svc.script.push_back({platform::scm::StateRunning, 0, 0, 0});
    }
    uint32_t AgentState() { return W().services["tallistoclient"].state.currentState; }
    Strings Run() {
        RunSaveSettings(settings, comm, view, hooks);
        EXPECT_EQ(view.callsOutsideSync, 0);
        return view.events;
    }
    bool Saved() {
        std::error_code ec;
        return std::filesystem::exists(ToFsPath(TSettings::SettingsFilePath()), ec);
    }

    std::shared_ptr<qztest::ManagerGuard> guard = std::make_shared<qztest::ManagerGuard>();
    TCommunicationModule comm{guard};
    TSettings settings;
    RecordingView view;
    TWizardHooks hooks;
    std::vector<uint32_t> sleeps;
};

const Strings kSummaryLines = {"+ Room : Lab 1", "+ Station Name : WS-01", "+ Host Name : LAB-07",
                               "+ Client IP registered with Tallisto Server : 10.0.0.7"};

Strings Join(std::initializer_list<Strings> parts) {
    Strings out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const Strings kEnding = {"   ", "   ", "  Click Finish to exit the Setup Wizard.", "[done]"};

}  // namespace

TEST_F(ManagerWizard, AKnownStationIsSavedAndTheAgentRestarted) {
    const Strings expected =
        Join({{"[wait hidden]", "[messages]", "+ Tallisto Service has been stopped", "+ Settings are saved"},
              kSummaryLines,
              {"+ Tallisto Service successfully started"},
              kEnding});
    EXPECT_EQ(Run(), expected);
    EXPECT_EQ(sleeps, (std::vector<uint32_t>{250, 250, 250}));
    EXPECT_EQ(guard->Requests(), (Strings{"test", "test"}));
    EXPECT_EQ(AgentState(), platform::scm::StateRunning);

    TSettings saved;
    ASSERT_TRUE(saved.LoadFromFile(TSettings::SettingsFilePath()));
    EXPECT_EQ(saved.ServerUrl(), "guard.example");
    EXPECT_EQ(saved.PasswordHash(), qztest::kGuardHash);
}

TEST_F(ManagerWizard, AnUnknownStationIsRegisteredFromTheDialog) {
    guard->Test({GuardAnswer::Byte(qztest::kNotListed), GuardAnswer::Doc(qztest::KnownStationReply())});
    guard->Directory(GuardAnswer::Doc(kDirectory));
    view.dialogAnswer = "<command version=\"1.0\"/>";
    const Strings expected = Join({{"[wait hidden]", "[dialog " + settings.ServerURI() + "]", "[messages]",
                                    "+ Workstation has been added successfully",
                                    "+ Tallisto Service has been stopped", "+ Settings are saved"},
                                   kSummaryLines,
                                   {"+ Tallisto Service successfully started"},
                                   kEnding});
    EXPECT_EQ(Run(), expected);
    EXPECT_EQ(view.shownDirectory, kDirectory);
    EXPECT_EQ(guard->Requests(), (Strings{"test", "directory", "add_ws", "test"}));
    EXPECT_EQ(guard->Registered(), Strings{"<command version=\"1.0\"/>"});
}

TEST_F(ManagerWizard, ARefusedRegistrationIsAFailureLineAndTheWizardGoesOn) {
    guard->Test({GuardAnswer::Byte(qztest::kNotListed)});
    guard->Directory(GuardAnswer::Doc(kDirectory));
    guard->Registration(GuardAnswer::Doc(qztest::ResultReply(false, "duplicate name")));
    view.dialogAnswer = "<command/>";
    const Strings expected = {"[wait hidden]",
                              "[dialog " + settings.ServerURI() + "]",
                              "[messages]",
                              "- Workstation failed to register with Tallisto Server",
                              "- duplicate name",
                              "+ Tallisto Service has been stopped",
                              "+ Settings are saved",
                              "- Client workstation does not have a record on the server",
                              "- or client IP address is invalid",
                              "+ Tallisto Service successfully started"};
    EXPECT_EQ(Run(), Join({expected, kEnding}));
}

TEST_F(ManagerWizard, ACancelledDialogRegistersNothing) {
    guard->Test({GuardAnswer::Byte(qztest::kNotListed)});
    guard->Directory(GuardAnswer::Doc(kDirectory));
    const Strings events = Run();
    const Strings start = {"[wait hidden]", "[dialog " + settings.ServerURI() + "]", "[messages]",
                           "+ Tallisto Service has been stopped"};
    ASSERT_GE(events.size(), start.size());
    EXPECT_EQ(Strings(events.begin(), events.begin() + 4), start);
    EXPECT_EQ(guard->Requests(), (Strings{"test", "directory", "test"}));
    EXPECT_TRUE(guard->Registered().empty());
    EXPECT_TRUE(Saved());
}

TEST_F(ManagerWizard, AStoppedAgentIsSaidSoAndStartedAtTheEnd) {
    StageAgent(false);
    const Strings expected =
        Join({{"[wait hidden]", "[messages]", "+ Tallisto Service already stopped", "+ Settings are saved"},
              kSummaryLines,
              {"+ Tallisto Service successfully started"},
              kEnding});
    EXPECT_EQ(Run(), expected);
    EXPECT_EQ(AgentState(), platform::scm::StateRunning);
}

TEST_F(ManagerWizard, AnAgentThatWontStopEndsTheProgramBeforeAnythingIsSaved) {
    auto& svc = W().services["tallistoclient"];
    svc.script = {svc.state};  // the stop never completes
    EXPECT_EQ(Run(), (Strings{"[wait hidden]", "[messages]", "[failed to stop: exit]"}));
    EXPECT_FALSE(Saved());
    EXPECT_TRUE(sleeps.empty());
    EXPECT_EQ(guard->Requests(), Strings{"test"});
}

TEST_F(ManagerWizard, FailuresToSaveOrStartAreLinesAndTheWizardEnds) {
    W().replaceFailures = 5;  // every retry of the move
    W().services["tallistoclient"].startFails = true;
    guard->Test({GuardAnswer::Doc(qztest::KnownStationReply()), GuardAnswer::Byte(qztest::kDecryptFailed)});
    const Strings expected = {"[wait hidden]",
                              "[messages]",
                              "+ Tallisto Service has been stopped",
                              "- Settings are not saved",
                              "- Invalid server connection password",
                              "- Tallisto service could not be started!"};
    EXPECT_EQ(Run(), Join({expected, kEnding}));
    EXPECT_EQ(AgentState(), platform::scm::StateStopped);
}

TEST_F(ManagerWizard, AnErrorInTheViewStillEndsTheWizard) {
    bool threw = false;
    hooks.Synchronize = [&](const std::function<void()>& f) {
        view.inSync = true;
        // The messages window fails to show once.
        if (!threw && view.events.size() == 1) {
            threw = true;
            view.inSync = false;
            throw std::runtime_error("window gone");
        }
        f();
        view.inSync = false;
    };
    EXPECT_EQ(Run(), (Strings{"[wait hidden]", "- window gone", "[done]"}));
    EXPECT_TRUE(log->Has("Apply settings error: window gone"));
}
