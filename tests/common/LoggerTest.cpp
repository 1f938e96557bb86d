#include <filesystem>
#include <fstream>
#include <limits>
#include <thread>

#include "tests/support/TestSupport.h"
#include "platform/DateTime.h"
#include "common/EventLoggerHandler.h"
#include "common/FileLogController.h"
#include "platform/Errors.h"
#include "common/LoggerHandlers.h"
#include "common/MainThread.h"
#include "common/Utils.h"

using namespace qz;
using qztest::MemoryHandler;
using qztest::PlatformTest;

namespace fs = std::filesystem;

class LoggerTest : public PlatformTest {
protected:
    std::string LogFile() { return GetAgentDataFolder() + "Logs\\kv.log"; }
    std::string Read(const std::string& file) {
        std::ifstream in(ToFsPath(file), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    void WriteSize(const std::string& file, size_t bytes) {
        fs::create_directories(ToFsPath(file).parent_path());
        std::ofstream out(ToFsPath(file), std::ios::binary);
        out << "old";
        out.seekp(static_cast<std::streamoff>(bytes - 1));
        out.put('x');
    }
};

TEST_F(LoggerTest, LevelsPassMainLevelAndHandlerLevel) {
    struct Case {
        int32_t mainLevel, handlerLevel, messageLevel;
        bool reaches;
    } cases[] = {
        {3, 6, logFine, false},     // main level holds Fine back
        {6, 6, logFine, true},
        {3, 1, logThrowing, true},
        {3, 1, logWarning, true},
        {3, 1, logSevere, false},   // Warning ranks above Severe
        {7, 6, logFinest, true},    // the initial main level lets everything through
        {6, 4, logFiner, false},
    };
    for (const auto& c : cases) {
        TLogger::ResetForTests();
        MemoryHandler h(c.handlerLevel);
        TLogger::SetMainLevel(c.mainLevel);
        TLogger::LogMessage(c.messageLevel, "probe");
        EXPECT_EQ(h.Has("probe"), c.reaches) << c.mainLevel << "/" << c.handlerLevel << "/" << c.messageLevel;
        TLogger::ResetForTests();
    }
}

TEST_F(LoggerTest, InactiveHandlersAndFailingHandlersAreSkipped) {
    struct Throwing : TLoggerHandler {
        using TLoggerHandler::TLoggerHandler;
        void Notify(const std::string&) override { throw std::runtime_error("disk gone"); }
    };
    MemoryHandler inactive;
    inactive.SetActive(false);
    Throwing bad(logFinest);
    bad.SetActive(true);
    MemoryHandler after;
    EXPECT_NO_THROW(TLogger::Info("x"));
    EXPECT_FALSE(inactive.Has("x"));
    EXPECT_TRUE(log->Has("x"));     // registered before the failing one
    EXPECT_FALSE(after.Has("x"));   // the rest of that message is skipped
    TLogger::Info("y");
    EXPECT_TRUE(log->Has("y"));
}

TEST_F(LoggerTest, StampFormat) {
    EXPECT_EQ(TLogger::FormatStamp(EncodeDateTime({2025, 3, 5, 14, 7, 9, 750})), "[05.03.2025 14:07:09.750] ");
    EXPECT_EQ(TLogger::FormatStamp(EncodeDateTime({1999, 12, 31, 0, 0, 0, 1})), "[31.12.1999 00:00:00.001] ");
}

TEST_F(LoggerTest, FileLinesEndWithCrLfAndCarryTheStamp) {
    W().now = EncodeDateTime({2026, 1, 2, 3, 4, 5, 6});
    TFileLoggerHandler file(logFinest, LogFile(), 0);
    file.SetActive(true);
    TLogger::Info("first");
    TLogger::Fine("second");
    file.SetActive(false);
    TLogger::Info("not written");
    EXPECT_EQ(Read(LogFile()), "[02.01.2026 03:04:05.006] first\r\n[02.01.2026 03:04:05.006] second\r\n");
}

TEST_F(LoggerTest, ActivationRotatesOrAppendsBySizeLimit) {
    struct Case {
        int32_t limitMb;
        size_t existingBytes;
        bool rotates;
    } cases[] = {
        {0, 100, true},                    // no limit set: every activation rotates
        {10, 12u * 1024 * 1024, true},
        {10, 3u * 1024 * 1024, false},
        {10, 10u * 1024 * 1024, true},     // at the limit
    };
    for (const auto& c : cases) {
        const std::string bak = GetAgentDataFolder() + "Logs\\kv.bak";
        fs::remove(ToFsPath(bak));
        WriteSize(LogFile(), c.existingBytes);
        {
            TFileLoggerHandler file(logFinest, LogFile(), c.limitMb);
            file.SetActive(true);
            file.Notify("line");
            file.SetActive(false);
        }
        const auto logSize = fs::file_size(ToFsPath(LogFile()));
        if (c.rotates) {
            EXPECT_EQ(fs::file_size(ToFsPath(bak)), c.existingBytes) << c.limitMb;
            EXPECT_EQ(logSize, 6u) << c.limitMb;
        } else {
            EXPECT_FALSE(fs::exists(ToFsPath(bak)));
            EXPECT_EQ(logSize, c.existingBytes + 6);
        }
    }
}

TEST_F(LoggerTest, UnmakeableFolderRaisesFromActivation) {
    // A file where the folder should be.
    const std::string blocker = GetAgentDataFolder();
    fs::create_directories(ToFsPath(blocker));
    std::ofstream(ToFsPath(blocker + "Logs")) << "x";
    TFileLoggerHandler file(logFinest, LogFile(), 0);
    EXPECT_ANY_THROW(file.SetActive(true));
    EXPECT_FALSE(file.Active());
    EXPECT_NO_THROW(TLogger::Info("still fine"));
}

class ControllerTest : public LoggerTest {
protected:
    void SetUp() override {
        LoggerTest::SetUp();
        W().now = EncodeDateTime({2026, 5, 1, 12, 0, 0, 0});
        file = std::make_unique<TFileLoggerHandler>(logFinest, LogFile(), 0);
        ctl = std::make_unique<TFileLogControllerThread>(file.get(), false);
    }
    void TearDown() override {
        ctl.reset();
        LoggerTest::TearDown();
        file.reset();
    }
    std::optional<int32_t> LogLevelValue() {
        try {
            return TUtils::ReadIntegerRegistryKey("loglevel");
        } catch (...) {
            return std::nullopt;
        }
    }
    std::unique_ptr<TFileLoggerHandler> file;
    std::unique_ptr<TFileLogControllerThread> ctl;
};

TEST_F(ControllerTest, FollowsLogLevel) {
    struct Case {
        std::optional<int32_t> value;
        bool active;
        int32_t handlerLevel, mainLevel;
    } cases[] = {
        {6, true, 6, 6},
        {1, true, 1, 3},
        {4, true, 4, 4},
        {-1, false, -1, 3},
        {std::nullopt, false, -1, 3},
    };
    EXPECT_EQ(ctl->RunPass(), 0u);  // the first pass looks at the date only
    EXPECT_TRUE(log->Has("There is no date of logging reset"));
    for (const auto& c : cases) {
        if (c.value)
            TUtils::WriteIntegerRegistryKey("loglevel", *c.value);
        else
            TUtils::DeleteRegistryValue("loglevel");
        EXPECT_EQ(ctl->RunPass(), 5000u);
        EXPECT_EQ(file->Active(), c.active);
        if (c.active) {
            EXPECT_EQ(file->Level(), c.handlerLevel);
        }
        EXPECT_EQ(ctl->GetLogLevel(), c.active ? c.handlerLevel : -1);
        EXPECT_EQ(TLogger::GetMainLevel(), c.mainLevel);
    }
}

TEST_F(ControllerTest, WrongTypedLevelReadsAsOff) {
    TUtils::WriteRegistryKey("loglevel", "6");
    ctl->RunPass();
    ctl->RunPass();
    EXPECT_FALSE(file->Active());
}

TEST_F(ControllerTest, RemoteSwitchTurnsItselfOffAfter48Hours) {
    ctl->SetLogLevel(4);
    EXPECT_TRUE(file->Active());
    EXPECT_EQ(LogLevelValue(), 4);
    auto until = TUtils::ReadDateTimeRegistryKey("NoLogDate");
    ASSERT_TRUE(until);
    EXPECT_NEAR(*until - *W().now, 2.0, 1e-6);

    // Level passes keep it on until the date check comes round again.
    ctl->RunPass();  // date check: not yet
    EXPECT_FALSE(log->Has("It is time to reset logging"));
    W().now = *W().now + 49.0 / 24;
    for (int i = 1; i < TFileLogControllerThread::DateCheckEvery; ++i) {
        EXPECT_EQ(ctl->RunPass(), 5000u);
        EXPECT_TRUE(file->Active());
    }
    EXPECT_EQ(ctl->RunPass(), 0u);  // 60th pass: the date check
    EXPECT_TRUE(log->Has("It is time to reset logging"));
    EXPECT_FALSE(file->Active());
    EXPECT_EQ(LogLevelValue(), -1);
    EXPECT_FALSE(TUtils::ReadDateTimeRegistryKey("NoLogDate"));
}

TEST_F(ControllerTest, RemoteSwitchOff) {
    ctl->SetLogLevel(6);
    ctl->SetLogLevel(-1);
    EXPECT_FALSE(file->Active());
    EXPECT_EQ(LogLevelValue(), -1);
    EXPECT_FALSE(TUtils::ReadDateTimeRegistryKey("NoLogDate"));
}

TEST_F(ControllerTest, ThreadAppliesLevelWithinAPass) {
    TUtils::WriteIntegerRegistryKey("loglevel", 6);
    TFileLogControllerThread running(file.get());
    // The level is in force once the first read is reported, not some time later.
    ASSERT_TRUE(running.WaitFirstLevelRead(3000));
    EXPECT_TRUE(file->Active());
    EXPECT_EQ(TLogger::GetMainLevel(), 6);
}

TEST_F(ControllerTest, ADateThatIsNoNumberSwitchesTheLogOff) {
    ctl->SetLogLevel(4);
    ASSERT_TRUE(file->Active());
    const double nan = std::numeric_limits<double>::quiet_NaN();
    TUtils::WriteDateTimeRegistryKey("NoLogDate", nan);
    EXPECT_EQ(ctl->RunPass(), 0u);
    EXPECT_TRUE(log->Has("It is time to reset logging"));
    EXPECT_FALSE(file->Active());
    EXPECT_EQ(LogLevelValue(), -1);
}

TEST_F(LoggerTest, LongLinesAreCutWithANoteOfWhatWasLeftOut) {
    TLogger::Fine(std::string(TLogger::MaxLineBytes + 1000, 'x'));
    TLogger::Fine(std::string(TLogger::MaxLineBytes, 'y'));
    const auto lines = log->Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], std::string(TLogger::MaxLineBytes, 'x') + " ... (1000 bytes left out)");
    EXPECT_EQ(lines[1], std::string(TLogger::MaxLineBytes, 'y'));
}

TEST_F(LoggerTest, AHandlerThatFailsToBeBuiltLeavesNoTraceInTheLogger) {
    // The event source can't be registered: the handler's construction fails
    // after the base registered it; the logger must not keep the freed handler.
    W().registryReadOnly = true;
    EXPECT_THROW(std::make_unique<TEventLogLoggerHandler>(logThrowing, "Tallisto Client"), platform::SystemError);
    TLogger::Throwing("still logging");  // a freed handler here would be a use after free
    EXPECT_TRUE(log->Has("still logging"));
    EXPECT_TRUE(W().events.empty());
}

// The agent runs the checks on its main loop: the first level is in force
// before the work queued after it (the main service's construction) runs.
TEST_F(ControllerTest, OnTheMainLoopTheFirstLevelComesBeforeQueuedWork) {
    TUtils::WriteIntegerRegistryKey("loglevel", 6);
    auto& q = TMainThreadQueue::Instance();
    ctl->RunOnMainLoop();
    bool activeWhenQueuedWorkRan = false;
    q.Post([&] {
        activeWhenQueuedWorkRan = file->Active() && ctl->WaitFirstLevelRead(0);
        q.Quit();
    });
    std::thread loop([&] { q.Run(nullptr); });
    loop.join();
    EXPECT_TRUE(activeWhenQueuedWorkRan);
    q.BindToCurrentThread();
}
