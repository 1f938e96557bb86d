#include "common/ChildJob.h"

#include "tests/support/TestSupport.h"

using namespace qz;

namespace {

class ChildJobs : public qztest::PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        TLogger::SetMainLevel(logFine);
        TChildJobs::Register("test-report", [] {
            TLogger::Info("reading the report");
            TLogger::Finest("too fine to pass");
            TLogger::Fine("one more detail");
            return std::string("maker\0model\0", 12);
        });
        TChildJobs::Register("test-raises", []() -> std::string {
            TLogger::Info("about to fail");
            throw std::runtime_error("The disk drives could not be queried");
        });
    }
    // A child of the agent's program that does what `run` says instead of the job.
    void StageChild(platform::fake::FakeChildRun run) {
        W().childPrograms["c:\\agent\\qzservice.exe"] = [run](const std::string&) { return run; };
        TChildJobs::SetProgram("C:\\Agent\\QZService.exe");
    }
};

TEST_F(ChildJobs, AJobRunsInAChildOfTheProgramAndItsLinesReachTheLog) {
    qztest::StageAgentChild();
    EXPECT_EQ(TChildJobs::Call("test-report"), std::string("maker\0model\0", 12));
    ASSERT_EQ(W().childRuns.size(), 1u);
    EXPECT_EQ(W().childRuns[0], "C:\\Agent\\QZService.exe /qz-child test-report 4");
    // The child's lines in their order, at the agent's level.
    const int first = log->Find("reading the report");
    EXPECT_GE(first, 0);
    EXPECT_GT(log->Find("one more detail", first), first);
    EXPECT_FALSE(log->Has("too fine to pass"));
    // The child's own handling of the log is given back.
    TLogger::Info("after the child");
    EXPECT_TRUE(log->Has("after the child"));
}

TEST_F(ChildJobs, AJobThatRaisesRaisesTheSameInTheCaller) {
    qztest::StageAgentChild();
    try {
        TChildJobs::Call("test-raises");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "The disk drives could not be queried");
    }
    EXPECT_TRUE(log->Has("about to fail"));
}

TEST_F(ChildJobs, AFailingChildIsLoggedAndGivesNoResult) {
    const std::string flood(TChildJobs::MaxBytes + 1, 'x');
    struct Case {
        const char* what;
        bool staged;
        platform::fake::FakeChildRun run;
        const char* line;
    } cases[] = {
        {"no program", false, {}, "The child for test-report could not start - "},
        {"hangs", true, {"L3 8\nstarting", 0, true}, "The child for test-report ran longer than 20 s and was ended"},
        {"floods", true, {flood, 0, false}, "The child for test-report wrote more than 65536 bytes and was ended"},
        {"garbage", true, {"garbage", 0, false}, "The child for test-report ended with code 0 without a result"},
        {"cut short", true, {"R0 100\nmak", 0, false}, "The child for test-report ended with code 0 without a result"},
        {"failed", true, {"R0 1\nx", 3, false}, "The child for test-report ended with code 3 without a result"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        W().childPrograms.clear();
        if (c.staged)
            StageChild(c.run);
        else
            TChildJobs::SetProgram("C:\\Agent\\QZService.exe");
        EXPECT_EQ(TChildJobs::Call("test-report"), std::nullopt);
        bool logged = false;
        for (const auto& line : log->Lines()) logged |= line.rfind(c.line, 0) == 0;
        EXPECT_TRUE(logged);
    }
    // What a child said before it hung is kept.
    EXPECT_TRUE(log->Has("starting"));
}

TEST_F(ChildJobs, WithoutAProgramAJobRunsInThisProcess) {
    EXPECT_EQ(TChildJobs::Call("test-report"), std::string("maker\0model\0", 12));
    EXPECT_TRUE(W().childRuns.empty());
    EXPECT_TRUE(log->Has("reading the report"));
    EXPECT_THROW(TChildJobs::Call("no-such-job"), std::logic_error);
}

}  // namespace
