#include <gtest/gtest.h>

#include "platform/Errors.h"
#include "platform/NamedEvents.h"
#include "platform/Processes.h"
#include "tests/platform/PlatformTestSupport.h"

using namespace platform;

TEST(ErrorsContract, ErrorTextHasNoTrailingPunctuation) {
    const std::string text = SystemErrorText(2);  // file not found
    ASSERT_FALSE(text.empty());
    EXPECT_NE(text.back(), '.');
    EXPECT_NE(text.back(), '\n');
    EXPECT_NE(text.back(), ' ');
    EXPECT_FALSE(SystemErrorText(0x7FFFFFF0u).empty());
}

TEST(NamedEventsContract, NamedEvents) {
    const std::string name = qztest::Unique("QZTestEvent");
    EXPECT_FALSE(sys::PeekNamedEvent(name));
    const auto h = sys::CreateNamedEvent(name, false, false);
    EXPECT_EQ(sys::PeekNamedEvent(name), std::optional<bool>(false));
    EXPECT_TRUE(sys::SetNamedEvent(h));
    // Looking doesn't consume the signal.
    EXPECT_EQ(sys::PeekNamedEvent(name), std::optional<bool>(true));
    EXPECT_EQ(sys::PeekNamedEvent(name), std::optional<bool>(true));
    sys::CloseNamedEvent(h);
    EXPECT_FALSE(sys::PeekNamedEvent(name));
}

TEST(NamedEventsContract, ASecondCreateOpensTheSameEvent) {
    const std::string name = qztest::Unique("QZTestEventTwice");
    const auto first = sys::CreateNamedEvent(name, true, false);
    EXPECT_TRUE(sys::SetNamedEvent(first));
    const auto second = sys::CreateNamedEvent(name, true, false);
    // The existing event keeps its state, and lives while any handle is open.
    EXPECT_EQ(sys::PeekNamedEvent(name), std::optional<bool>(true));
    sys::CloseNamedEvent(first);
    EXPECT_EQ(sys::PeekNamedEvent(name), std::optional<bool>(true));
    sys::CloseNamedEvent(second);
    EXPECT_FALSE(sys::PeekNamedEvent(name));
}

TEST(ChildContract, AProgramThatIsNotThereDoesNotStart) {
    const auto run = sys::RunForOutput("C:\\no-such-folder\\no-such-program.exe", "x", 2000, 1024);
    EXPECT_EQ(run.end, sys::ChildEnd::CantStart);
    EXPECT_TRUE(run.error == 2 || run.error == 3) << run.error;  // file or path not found
    EXPECT_EQ(run.output, "");
}

TEST(ProcessesContract, AProcessThatIsNotThereCannotBeOpened) {
    uint32_t openError = 0;
    EXPECT_FALSE(proc::QueryProcessStart(0xFFFFFFF0u, openError).has_value());
    EXPECT_EQ(openError, 87u);
    openError = 0;
    EXPECT_FALSE(proc::QueryProcess(0xFFFFFFF0u, openError).has_value());
    EXPECT_EQ(openError, 87u);
}
