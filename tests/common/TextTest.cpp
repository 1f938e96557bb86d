// The small helpers every subsystem shares: one behaviour each.
#include <gtest/gtest.h>

#include "common/Text.h"
#include "common/Url.h"
#include "common/XmlText.h"

using namespace qz;

TEST(Text, IntegerForms) {
    const struct {
        const char* text;
        std::optional<int32_t> value;
    } cases[] = {
        {"0", 0},        {"42", 42},       {"+42", 42},          {"-42", -42},       {"2147483647", INT32_MAX},
        {"-2147483648", INT32_MIN},        {"2147483648", {}},   {"", {}},           {" 5", {}},
        {"5 ", {}},      {"+-5", {}},      {"5x", {}},           {"0x10", {}},       {"+", {}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TryParseInt32(c.text), c.value) << "'" << c.text << "'";
        if (c.value)
            EXPECT_EQ(ParseInt32(c.text), *c.value);
        else
            EXPECT_THROW(ParseInt32(c.text), EConvertError) << "'" << c.text << "'";
    }
    EXPECT_TRUE(ParseBool("TRUE"));
    EXPECT_FALSE(ParseBool("False"));
    EXPECT_THROW(ParseBool("1"), EConvertError);
    EXPECT_EQ(Trim(" \t x y \r\n"), "x y");
    EXPECT_EQ(AsciiLower("ÄBC-Def"), "Äbc-def");
}

TEST(Text, AddressesSplitTheSameWayEverywhere) {
    const TUriParts u = ParseUri("https://user:pw@[::1]:8443/a/b?x=1#frag/guard");
    EXPECT_EQ(u.scheme, "https");
    EXPECT_EQ(u.userInfo, "user:pw@");
    EXPECT_EQ(u.host, "[::1]");
    EXPECT_EQ(u.port, "8443");
    EXPECT_EQ(u.path, "/a/b");
    EXPECT_EQ(u.query, "?x=1");
    EXPECT_EQ(u.fragment, "#frag/guard");
    EXPECT_THROW(ParseUri("https://[::1/x"), std::invalid_argument);

    const TUrlParts p = SplitUrl("HTTPS://[::1]:8443/a?x=1");
    EXPECT_EQ(p.scheme, "https");
    EXPECT_EQ(p.host, "[::1]");
    EXPECT_EQ(p.port, 8443);
    EXPECT_EQ(p.target, "/a?x=1");
    EXPECT_EQ(SplitUrl("http://h").target, "/");
    EXPECT_EQ(SplitUrl("http://h").port, 80);
    for (const char* bad : {"ftp://h/", "h/x", "http://:80/", "http://h:/", "http://h:123456/", "http://h:8a/"})
        EXPECT_THROW(SplitUrl(bad), std::invalid_argument) << bad;
}

TEST(Text, ElementTextAtAnyDepth) {
    pugi::xml_document doc;
    ASSERT_TRUE(doc.load_string("<p>a<b>b<c>c</c></b><![CDATA[d]]><e/>f</p>"));
    EXPECT_EQ(ElementDeepText(doc.child("p")), "abcdf");
    EXPECT_THROW(ElementValue(doc.child("p")), EXmlValueError);
    EXPECT_EQ(ElementValue(doc.child("p").child("b").child("c")), std::optional<std::string>("c"));
    EXPECT_EQ(ElementValue(doc.child("p").child("e")), std::nullopt);
    EXPECT_EQ(OuterXml(doc.child("p").child("b")), "<b>b<c>c</c></b>");

    // Deep nesting is walked without recursion.
    const int depth = 200000;
    std::string deep;
    for (int i = 0; i < depth; ++i) deep += "<n>";
    deep += "end";
    for (int i = 0; i < depth; ++i) deep += "</n>";
    pugi::xml_document d;
    ASSERT_TRUE(d.load_string(deep.c_str()));
    EXPECT_EQ(ElementDeepText(d.document_element()), "end");
}
