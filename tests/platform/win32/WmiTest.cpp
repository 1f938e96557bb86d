// Management queries on the real system (Wine serves the classes used here).
#include "platform/Wmi.h"

#include <gtest/gtest.h>

#include "platform/SystemInfo.h"

using namespace platform;

namespace {

TEST(Wmi, AnswersRowsWithTheAskedProperties) {
    const auto rows = wmi::Query("root\\CIMV2", "SELECT * FROM Win32_OperatingSystem", {"Caption", "NoSuchProperty"});
    ASSERT_TRUE(rows.has_value());
    ASSERT_EQ(rows->size(), 1u);
    EXPECT_FALSE(rows->front().at("Caption").empty());
    EXPECT_EQ(rows->front().count("NoSuchProperty"), 0u);
    // Numbers come as decimal text.
    const auto cs = wmi::Query("root\\CIMV2", "SELECT * FROM Win32_ComputerSystem", {"NumberOfProcessors"});
    ASSERT_TRUE(cs.has_value() && !cs->empty());
    EXPECT_GT(std::stoi(cs->front().at("NumberOfProcessors")), 0);
}

TEST(Wmi, AQueryThatCannotRunIsNoAnswer) {
    EXPECT_FALSE(wmi::Query("root\\NoSuchNamespace", "SELECT * FROM Win32_BIOS", {"Name"}).has_value());
    const auto bad = wmi::Query("root\\CIMV2", "SELECT * FROM NoSuchClass", {"Name"});
    EXPECT_TRUE(!bad.has_value() || bad->empty());
}

}  // namespace
