#include <atomic>
#include <thread>

#include "tests/support/TestSupport.h"
#include "service/QZServiceBootstrap.h"
#include "service/ServiceFramework.h"

using namespace qz;
using qztest::PlatformTest;
using qztest::WaitUntil;

TEST(Switches, IntroducerCaseAndCombinations) {
    struct Case {
        std::vector<std::string> args;
        bool install, uninstall, silent;
    } cases[] = {
        {{"/install"}, true, false, false},
        {{"-INSTALL"}, true, false, false},
        {{"/InStAlL", "-silent"}, true, false, true},
        {{"-uninstall", "/SILENT"}, false, true, true},
        {{"install"}, false, false, false},         // no introducer
        {{"--install"}, false, false, false},       // not the switch
        {{"/installx", "/bogus"}, false, false, false},
        {{"/x", "/uninstall", "/install"}, true, true, false},
        {{}, false, false, false},
    };
    for (const auto& c : cases) {
        const TSwitches s = ParseSwitches(c.args);
        EXPECT_EQ(s.install, c.install) << ::testing::PrintToString(c.args);
        EXPECT_EQ(s.uninstall, c.uninstall) << ::testing::PrintToString(c.args);
        EXPECT_EQ(s.silent, c.silent) << ::testing::PrintToString(c.args);
    }
}

TEST(ControlMessage, PacksAndSplitsSessionChange) {
    const uint32_t notification[2] = {8, 3};  // size field, then the session id
    const uint32_t lp = PackControlLParam(14, 5, notification);
    EXPECT_EQ(lp, 305u);
    EXPECT_EQ(SessionEventOf(lp), 5u);
    EXPECT_EQ(SessionIdOf(lp), 3u);

    const uint32_t big[2] = {8, 42949672};
    const uint32_t lpBig = PackControlLParam(14, 11, big);
    EXPECT_EQ(SessionIdOf(lpBig), 42949672u);
    EXPECT_EQ(SessionEventOf(lpBig), 11u);

    EXPECT_EQ(PackControlLParam(13, 0x12, nullptr), 0x12u);
    EXPECT_EQ(PackControlLParam(1, 77, nullptr), 0u);
    EXPECT_EQ(PackControlLParam(14, 5, nullptr), 5u);
}

TEST(ServiceStatus, AcceptedControlsAndCheckPoints) {
    EXPECT_EQ(ControlsAccepted(TCurrentStatus::csStartPending, true, false, true), 0u);
    EXPECT_EQ(ControlsAccepted(TCurrentStatus::csRunning, true, false, true), 0xC5u);
    EXPECT_EQ(ControlsAccepted(TCurrentStatus::csStopPending, true, false, true), 0xC5u);
    EXPECT_EQ(ControlsAccepted(TCurrentStatus::csRunning, true, true, false), 0x7u);
    EXPECT_EQ(ControlsAccepted(TCurrentStatus::csRunning, false, false, false), 0x4u);

    TCheckPointCounter cp;
    using S = TCurrentStatus;
    const std::pair<S, uint32_t> seq[] = {{S::csStartPending, 1}, {S::csStartPending, 2}, {S::csRunning, 0},
                                          {S::csRunning, 0},      {S::csStopPending, 0},  {S::csStopPending, 1},
                                          {S::csStopped, 0}};
    for (const auto& [status, expected] : seq) EXPECT_EQ(cp.Next(status), expected);

    EXPECT_EQ(ServiceTypeValue(TServiceType::stWin32, 1, false), 0x10u);
    EXPECT_EQ(ServiceTypeValue(TServiceType::stWin32, 2, true), 0x120u);
    EXPECT_EQ(StartTypeValue(TStartType::stBoot, TServiceType::stWin32), 2u);
    EXPECT_EQ(StartTypeValue(TStartType::stBoot, TServiceType::stDevice), 0u);
    EXPECT_EQ(StartTypeValue(TStartType::stManual, TServiceType::stWin32), 3u);
}

namespace {

// A service definition that records what the framework asks of it.
class RecordingService : public TService {
public:
    RecordingService() : TService("Probe") {
        DisplayName = "Probe Service";
        AllowPause = false;
        OnStart = [this](TService&, bool& started) {
            ++starts;
            if (failStart) throw std::runtime_error("boom");
            started = startResult;
        };
        OnStop = [this](TService&, bool& stopped) {
            ++stops;
            stopped = stopResult;
        };
    }
    void ServiceSessionChange(uint32_t e, uint32_t id) override {
        sessionEvents.push_back({e, id});
    }
    std::atomic<int> starts{0}, stops{0};
    bool failStart = false, startResult = true, stopResult = true;
    std::vector<std::pair<uint32_t, uint32_t>> sessionEvents;
};

class ServiceRun : public PlatformTest {
protected:
    std::vector<platform::scm::StatusReport> Reports() {
        std::lock_guard<std::recursive_mutex> l(W().lock);
        return W().statusReports;
    }
    bool ReachedState(uint32_t state) {
        for (auto& r : Reports())
            if (r.currentState == state) return true;
        return false;
    }
    void Control(uint32_t code, uint32_t eventType = 0, const void* data = nullptr) {
        platform::scm::ControlHandler h;
        {
            std::lock_guard<std::recursive_mutex> l(W().lock);
            h = W().controlHandler;
        }
        ASSERT_TRUE(h);
        EXPECT_EQ(h(code, eventType, data), 0u);
    }
};

}  // namespace

TEST_F(ServiceRun, StartControlsAndStop) {
    RecordingService svc;
    std::thread main([&] { svc.Main({"Probe", "arg"}); });
    ASSERT_TRUE(WaitUntil([&] { return ReachedState(4); }));

    const uint32_t notification[2] = {8, 3};
    Control(14, 5, notification);
    Control(13, 4);
    Control(4);
    Control(1);
    main.join();

    EXPECT_EQ(svc.starts, 1);
    EXPECT_EQ(svc.stops, 1);
    ASSERT_EQ(svc.sessionEvents.size(), 1u);
    EXPECT_EQ(svc.sessionEvents[0], std::make_pair(5u, 3u));
    EXPECT_EQ(svc.FParams, (std::vector<std::string>{"Probe", "arg"}));
    EXPECT_EQ(W().controlHandlerName, "Probe");

    const auto reports = Reports();
    ASSERT_GE(reports.size(), 4u);
    for (const auto& r : reports) {
        EXPECT_EQ(r.serviceType, 0x10u);
        EXPECT_EQ(r.waitHint, 5000u);
        if (r.currentState == 2) EXPECT_EQ(r.controlsAccepted, 0u);
        else EXPECT_EQ(r.controlsAccepted, 0xC5u);
    }
    EXPECT_EQ(reports.front().currentState, 2u);
    EXPECT_EQ(reports.front().checkPoint, 1u);
    EXPECT_EQ(reports.back().currentState, 1u);
    EXPECT_EQ(reports[reports.size() - 2].currentState, 3u);
}

TEST_F(ServiceRun, ShutdownEndsWithoutStop) {
    RecordingService svc;
    std::thread main([&] { svc.Main({"probe"}); });
    ASSERT_TRUE(WaitUntil([&] { return ReachedState(4); }));
    Control(5);
    main.join();
    EXPECT_EQ(svc.stops, 0);
    EXPECT_EQ(Reports().back().currentState, 1u);
}

TEST_F(ServiceRun, RefusedStopRestoresRunning) {
    RecordingService svc;
    svc.stopResult = false;
    std::thread main([&] { svc.Main({"probe"}); });
    ASSERT_TRUE(WaitUntil([&] { return ReachedState(4); }));
    Control(1);
    ASSERT_TRUE(WaitUntil([&] { return svc.stops == 1 && Reports().back().currentState == 4; }));
    svc.stopResult = true;
    Control(1);
    main.join();
    EXPECT_EQ(svc.stops, 2);
}

TEST_F(ServiceRun, FailingStartIsLoggedAndStops) {
    RecordingService svc;
    svc.failStart = true;
    svc.Main({"probe"});
    EXPECT_EQ(Reports().back().currentState, 1u);
    ASSERT_FALSE(W().events.empty());
    EXPECT_EQ(W().events.back().source, "Probe");
    EXPECT_EQ(W().events.back().text, "Service failed on start: boom");
    EXPECT_EQ(W().events.back().type, 1);
}

TEST_F(ServiceRun, HandlerRegistrationFailureNeverStarts) {
    W().registerHandlerFails = true;
    RecordingService svc;
    svc.Main({"probe"});
    EXPECT_EQ(svc.starts, 0);
    EXPECT_TRUE(Reports().empty());
    ASSERT_EQ(W().events.size(), 1u);
    EXPECT_EQ(W().events[0].text, "The service process could not connect to the service controller");
}

TEST_F(ServiceRun, UnknownServiceNameIsIgnoredByDispatch) {
    auto& app = TServiceApplication::Instance();
    app.ClearServices();
    auto svc = std::make_unique<RecordingService>();
    auto* probe = svc.get();
    app.AddService(std::move(svc));
    W().dispatcher = [&](const std::vector<platform::scm::DispatchEntry>& table) -> uint32_t {
        EXPECT_EQ(table.size(), 1u);
        table[0].main({"someone-else"});
        return 0;
    };
    EXPECT_EQ(app.Run({}), 0);
    EXPECT_EQ(probe->starts, 0);
    app.ClearServices();
}

class Installation : public PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        TServiceApplication::Instance().ClearServices();
        TServiceApplication::Instance().AddService(std::make_unique<TTallistoClient>());
    }
    void TearDown() override {
        TServiceApplication::Instance().ClearServices();
        PlatformTest::TearDown();
    }
    int Run(std::vector<std::string> args) { return TServiceApplication::Instance().Run(args); }
};

TEST_F(Installation, InstallCreatesTheServiceAsDefined) {
    EXPECT_EQ(Run({"-Install"}), 0);
    ASSERT_EQ(W().services.count("tallistoclient"), 1u);
    const auto& s = W().services["tallistoclient"];
    EXPECT_EQ(s.config.name, "TallistoClient");
    EXPECT_EQ(s.config.displayName, "Tallisto Service");
    EXPECT_EQ(s.config.serviceType, 0x10u);
    EXPECT_EQ(s.config.startType, 2u);
    EXPECT_EQ(s.config.errorControl, 1u);
    EXPECT_EQ(s.config.binaryPath, "\"" + W().modulePath + "\"");  // quoted: the path has a blank
    EXPECT_TRUE(s.config.account.empty());
    EXPECT_EQ(s.description, "Enables Tallisto server to control the workstation");
    EXPECT_EQ(s.resetPeriod, 86400u);
    ASSERT_EQ(s.failureActions.size(), 3u);
    for (const auto& a : s.failureActions) {
        EXPECT_EQ(a.type, 1u);
        EXPECT_EQ(a.delayMs, 60000u);
    }
    EXPECT_EQ(W().messages, std::vector<std::string>{"I:Service installed successfully"});
}

TEST_F(Installation, SecondInstallReportsTheSystemText) {
    ASSERT_EQ(Run({"/install", "/silent"}), 0);
    EXPECT_TRUE(W().messages.empty());
    EXPECT_EQ(Run({"/install"}), 1);
    EXPECT_EQ(W().messages, std::vector<std::string>{
        "E:Service \"Tallisto Service\" failed to install with error: \"The specified service already exists\""});
    EXPECT_EQ(Run({"/install", "/SILENT"}), 1);
    EXPECT_EQ(W().messages.size(), 1u);
}

TEST_F(Installation, InstallWinsOverUninstallAndUninstallRemoves) {
    EXPECT_EQ(Run({"/uninstall", "/install", "/silent"}), 0);
    EXPECT_EQ(W().services.count("tallistoclient"), 1u);
    EXPECT_EQ(Run({"-UNINSTALL", "-silent"}), 0);
    EXPECT_EQ(W().services.count("tallistoclient"), 0u);
    EXPECT_TRUE(W().messages.empty());
    EXPECT_EQ(Run({"/uninstall"}), 1);
    EXPECT_EQ(W().messages.back(),
              "E:Service \"Tallisto Service\" failed to uninstall with error: \"The specified service does not exist "
              "as an installed service\"");
}

TEST_F(Installation, WithoutSwitchesTheDispatcherErrorGoesToTheEventLog) {
    W().dispatcherError = 1063;
    EXPECT_EQ(Run({"/unknown"}), 1063);
    ASSERT_FALSE(W().events.empty());
    EXPECT_EQ(W().events.back().source, "QZService.exe");
    EXPECT_EQ(W().events.back().text, "The service process could not connect to the service controller");
    EXPECT_TRUE(W().services.empty());
}
