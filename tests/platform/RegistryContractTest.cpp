#include "platform/Registry.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "platform/Errors.h"
#include "tests/platform/PlatformTestSupport.h"

using namespace platform::reg;

class RegistryContract : public ::testing::Test {
protected:
    void TearDown() override {
        DeleteKey(In(View::Wow32));
        DeleteKey(In(View::Wow64));
    }
    Key In(View view, const std::string& sub = "") const {
        return {Hive::LocalMachine, "SOFTWARE\\" + root_ + (sub.empty() ? "" : "\\" + sub), view};
    }
    std::string root_ = qztest::Unique("QZRegistryTest");
};

TEST_F(RegistryContract, TypedValuesRoundTrip) {
    const Key k = In(View::Wow32, "Nested\\Deeper");
    EXPECT_FALSE(KeyExists(k));
    SetString(k, "text", "Grüße, 世界");
    SetString(k, "empty", "");
    SetDWord(k, "number", 0xFFFFFFFEu);
    SetBinary(k, "blob", {0, 1, 2, 0xFF});
    EXPECT_TRUE(KeyExists(k));

    auto text = QueryValue(k, "text");
    ASSERT_TRUE(text);
    EXPECT_EQ(text->type, ValueType::String);
    EXPECT_EQ(text->text, "Grüße, 世界");
    auto empty = QueryValue(k, "empty");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->text, "");
    auto number = QueryValue(k, "number");
    ASSERT_TRUE(number);
    EXPECT_EQ(number->type, ValueType::DWord);
    EXPECT_EQ(number->number, 0xFFFFFFFEu);
    auto blob = QueryValue(k, "blob");
    ASSERT_TRUE(blob);
    EXPECT_EQ(blob->type, ValueType::Binary);
    EXPECT_EQ(blob->bytes, (std::vector<uint8_t>{0, 1, 2, 0xFF}));

    EXPECT_FALSE(QueryValue(k, "missing"));
    EXPECT_FALSE(QueryValue(In(View::Wow32, "NoSuchKey"), "text"));
}

TEST_F(RegistryContract, ViewsAreSeparate) {
    SetString(In(View::Wow32), "where", "32");
    EXPECT_FALSE(QueryValue(In(View::Wow64), "where"));
    SetString(In(View::Wow64), "where", "64");
    EXPECT_EQ(QueryValue(In(View::Wow32), "where")->text, "32");
    EXPECT_EQ(QueryValue(In(View::Wow64), "where")->text, "64");
}

TEST_F(RegistryContract, EnumerationAndDeletion) {
    const Key k = In(View::Wow32);
    SetString(k, "a", "1");
    SetDWord(k, "b", 2);
    CreateKey(In(View::Wow32, "child1"));
    SetString(In(View::Wow32, "child2\\grandchild"), "x", "y");

    auto values = ValueNames(k);
    std::sort(values.begin(), values.end());
    EXPECT_EQ(values, (std::vector<std::string>{"a", "b"}));
    auto subs = SubKeyNames(k);
    std::sort(subs.begin(), subs.end());
    EXPECT_EQ(subs, (std::vector<std::string>{"child1", "child2"}));

    EXPECT_TRUE(DeleteValue(k, "a"));
    EXPECT_FALSE(DeleteValue(k, "a"));
    EXPECT_FALSE(DeleteValue(In(View::Wow32, "NoSuchKey"), "a"));

    // A key with children goes as a whole.
    EXPECT_TRUE(DeleteKey(k));
    EXPECT_FALSE(KeyExists(In(View::Wow32, "child2\\grandchild")));
    EXPECT_FALSE(DeleteKey(k));
    EXPECT_TRUE(ValueNames(k).empty());
    EXPECT_TRUE(SubKeyNames(k).empty());
}

TEST_F(RegistryContract, WritingAKeyCreatesTheKeysAboveIt) {
    SetString(In(View::Wow32, "A\\B\\C"), "v", "1");
    EXPECT_TRUE(KeyExists(In(View::Wow32)));
    EXPECT_TRUE(KeyExists(In(View::Wow32, "A")));
    EXPECT_TRUE(KeyExists(In(View::Wow32, "A\\B")));
    EXPECT_EQ(SubKeyNames(In(View::Wow32, "A")), std::vector<std::string>{"B"});
    // Names compare without letter case; a trailing separator names the same key.
    EXPECT_EQ(QueryValue(In(View::Wow32, "a\\b\\c\\"), "V")->text, "1");
    EXPECT_TRUE(DeleteKey(In(View::Wow32, "A")));
    EXPECT_FALSE(KeyExists(In(View::Wow32, "A\\B\\C")));
    EXPECT_TRUE(KeyExists(In(View::Wow32)));
}

TEST_F(RegistryContract, ClassesRootIsAHiveOfItsOwn) {
    const Key top{Hive::ClassesRoot, "CLSID\\" + root_, View::Wow64};
    const Key command{Hive::ClassesRoot, top.path + "\\Shell\\Open\\Command", View::Wow64};
    SetString(top, "", "entry");
    SetString(command, "", "C:\\Program Files\\x.exe");
    EXPECT_EQ(QueryValue(command, "")->text, "C:\\Program Files\\x.exe");
    EXPECT_FALSE(KeyExists({Hive::LocalMachine, top.path, View::Wow64}));
    // The key goes with everything below it.
    EXPECT_TRUE(DeleteKey(top));
    EXPECT_FALSE(KeyExists(command));
    EXPECT_FALSE(KeyExists(top));
}
