#include "platform/ServiceControl.h"

#include <gtest/gtest.h>

#include "common/WinUtils.h"
#include "platform/Errors.h"
#include "tests/platform/PlatformTestSupport.h"

using namespace platform::scm;

class ServiceControlContract : public ::testing::Test {
protected:
    void TearDown() override {
        try {
            DeleteService(name_);
        } catch (const platform::SystemError&) {
        }
    }
    ServiceConfig Config() const {
        ServiceConfig c;
        c.name = name_;
        c.displayName = "QZ test service";
        c.binaryPath = qztest::WinPath(QZ_SERVICE_EXE);
        return c;
    }
    std::string name_ = qztest::Unique("QZTestService");
};

TEST_F(ServiceControlContract, InstallQueryConfigureAndRemove) {
    EXPECT_FALSE(CanOpenForQuery(name_));
    CreateService(Config());
    EXPECT_TRUE(CanOpenForQuery(name_));

    const QueriedConfig q = QueryConfig(name_);
    EXPECT_EQ(q.serviceType, 0x10u);
    EXPECT_EQ(q.startType, 2u);
    EXPECT_EQ(q.errorControl, 1u);
    EXPECT_EQ(q.displayName, "QZ test service");
    EXPECT_NE(q.binaryPath.find("QZService.exe"), std::string::npos);

    SetDescription(name_, "Enables testing");
    EXPECT_EQ(QueryDescription(name_), "Enables testing");

    SetFailureActions(name_, 86400, {{1, 60000}, {1, 60000}, {1, 60000}});
    try {
        uint32_t reset = 0;
        const auto actions = QueryFailureActions(name_, &reset);
        EXPECT_EQ(reset, 86400u);
        ASSERT_EQ(actions.size(), 3u);
        for (const auto& a : actions) {
            EXPECT_EQ(a.type, 1u);
            EXPECT_EQ(a.delayMs, 60000u);
        }
    } catch (const platform::SystemError& e) {
        // Some service managers (wine's among them) can't report the actions back.
        EXPECT_EQ(e.code(), 124u) << e.what();
    }

    SetStartType(name_, 3);
    EXPECT_EQ(QueryConfig(name_).startType, 3u);

    const auto state = QueryState(name_);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->currentState, 1u);
    EXPECT_EQ(qz::TServiceUtils::ServiceGetStatus(name_, ""), 1u);
    // Stopping a stopped service fails at once instead of waiting.
    EXPECT_FALSE(qz::TServiceUtils::ServiceStop(name_, ""));

    DeleteService(name_);
    EXPECT_FALSE(CanOpenForQuery(name_));
}

TEST_F(ServiceControlContract, FailuresCarryTheSystemsCodeAndText) {
    CreateService(Config());
    try {
        CreateService(Config());
        FAIL() << "a second install succeeded";
    } catch (const platform::SystemError& e) {
        EXPECT_EQ(e.code(), 1073u);  // the service exists
        const std::string text = e.what();
        EXPECT_FALSE(text.empty());
        EXPECT_NE(text.back(), '.');
        EXPECT_NE(text.back(), '\n');
    }
    DeleteService(name_);
    try {
        DeleteService(name_);
        FAIL() << "deleting a missing service succeeded";
    } catch (const platform::SystemError& e) {
        EXPECT_EQ(e.code(), 1060u);  // no such service
    }
    EXPECT_THROW(QueryConfig(name_), platform::SystemError);
}

TEST_F(ServiceControlContract, HelpersAnswerPlainlyForAnUnknownService) {
    EXPECT_FALSE(qz::TServiceUtils::IsServiceInstalled(name_, ""));
    EXPECT_EQ(qz::TServiceUtils::ServiceGetStatus(name_, ""), 1u);
    EXPECT_FALSE(qz::TServiceUtils::ServiceStart(name_, ""));
    EXPECT_FALSE(qz::TServiceUtils::ServiceStop(name_, ""));
    EXPECT_FALSE(QueryState(name_));
}

TEST(DispatcherContract, FailsOutsideTheServiceManager) {
    // A program started from a console is not a service: the dispatcher
    // refuses with "the service process could not connect".
    EXPECT_EQ(RunDispatcher({{"QZNotAService", [](const std::vector<std::string>&) {}}}), 1063u);
}
