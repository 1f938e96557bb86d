#include <functional>
#include <string>

#include "tests/support/TestSupport.h"
#include "monitor/LicenseManagerData.h"
#include "monitor/ProcessInfo.h"
#include "monitor/ProcessTemplate.h"

using namespace qz;

namespace {

// The matching rule written out as the recursive walk it is defined by
// (ASCII only), to hold the matcher against.
bool Walk(const std::string& v, size_t i, const std::string& p, size_t j) {
    if (p.compare(j, std::string::npos, "*") == 0) return true;
    if (i == v.size()) return j == p.size();
    if (j < p.size() && p[j] == '*') return Walk(v, i, p, j + 1) || Walk(v, i + 1, p, j);
    if (j < p.size() && p[j] == '?') return Walk(v, i + 1, p, j + 1);
    return j < p.size() && v[i] == p[j] && Walk(v, i + 1, p, j + 1);
}

TProcessInfo Process(const std::string& path, const std::string& name = "", const std::string& company = "",
                     const std::string& version = "") {
    TProcessInfo p;
    p.FProcessPath = path;
    p.FName = name;
    p.FCompanyName = company;
    p.FVersion = version;
    return p;
}

pugi::xml_node Parse(pugi::xml_document& doc, const char* text) {
    EXPECT_TRUE(doc.load_string(text));
    return doc.document_element();
}

std::unique_ptr<TProcessTemplate> Load(const char* text, bool strict = true) {
    pugi::xml_document doc;
    auto t = std::make_unique<TProcessTemplate>();
    t->LoadFromXML(Parse(doc, text), strict);
    return t;
}

}  // namespace

TEST(WildcardMatch, Cases) {
    struct Case {
        const char* value;
        const char* pattern;
        bool fits;
    };
    const Case cases[] = {
        {"", "*", true},
        {"", "**", false},  // only a lone "*" fits a used-up value
        {"x", "**", true},
        {"a", "a**", false},
        {"ab", "a**", true},
        {"", "", true},
        {"a", "", false},
        {"", "?", false},
        {"ab", "?", false},
        {"ab", "??", true},
        {"C:\\Program Files\\Vendor\\App.exe", "c:\\program files\\*\\app.exe", true},
        {"C:\\Program Files\\Vendor\\App.exe", "c:\\program files\\*\\app.ex", false},
        {"C:\\Windows\\notepad.exe", "*notepad.exe", true},
        {"C:\\Windows\\notepad.exe", "*\\note?ad.*", true},
        {"C:\\Windows\\notepad.exe", "*\\note??ad.*", false},
        {"abc", "a*c*", true},
        {"abcbd", "a*b?", true},
        {"abcbd", "a*bc", false},
        {"a*b", "a*b", true},   // "*" in a value is an ordinary character
        {"a?b", "a?b", true},
        {"ÄPFEL.EXE", "äpfel.exe", true},  // letter case of non-ASCII letters too
        {"ΣΟΦΙΑ", "σοφια", true},
        {"ПРОГРАММА", "программа", true},
        {"é", "?", true},  // one character, two bytes
        {"é", "??", false},
        {"e", "é", false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(WildcardMatch(c.value, c.pattern), c.fits) << "'" << c.value << "' ~ '" << c.pattern << "'";
}

TEST(WildcardMatch, AgreesWithTheRecursiveRuleOnEveryShortPattern) {
    // Every pattern over {a, b, *, ?} up to five characters against every
    // value over {a, b} up to five.
    std::vector<std::string> patterns{""}, values{""};
    for (size_t k = 0; k < patterns.size() && patterns[k].size() < 5; ++k)
        for (char c : {'a', 'b', '*', '?'}) patterns.push_back(patterns[k] + c);
    for (size_t k = 0; k < values.size() && values[k].size() < 5; ++k)
        for (char c : {'a', 'b'}) values.push_back(values[k] + c);
    int mismatches = 0;
    for (const auto& p : patterns)
        for (const auto& v : values)
            if (WildcardMatch(v, p) != Walk(v, 0, p, 0) && ++mismatches < 10)
                ADD_FAILURE() << "'" << v << "' ~ '" << p << "'";
    EXPECT_EQ(mismatches, 0);
}

TEST(WildcardMatch, LongAndHostileInputs) {
    // Longer than the 255 characters a fixed buffer would hold: matched in full.
    const std::string deep = "C:\\" + std::string(300, 'd') + "\\tool.exe";
    EXPECT_TRUE(WildcardMatch(deep, "c:\\*\\tool.exe"));
    EXPECT_FALSE(WildcardMatch(deep, "c:\\*\\tool.ex"));
    EXPECT_FALSE(WildcardMatch(deep, "c:\\" + std::string(300, 'd') + "x*"));
    // Many stars against a long near-miss ends at once instead of backtracking
    // exponentially; a value of 100000 characters doesn't exhaust the stack.
    EXPECT_FALSE(WildcardMatch(std::string(200, 'a'), "*a*a*a*a*a*a*a*a*a*a*a*a*b"));
    EXPECT_TRUE(WildcardMatch(std::string(100000, 'a') + "b", "*a?b"));
    // Bytes that aren't UTF-8 still compare, each to itself only.
    EXPECT_TRUE(WildcardMatch("a\xff" "b", "a?b"));
    EXPECT_FALSE(WildcardMatch("\xc0", "\xe0"));
}

TEST(ProcessInfo, ShortAndBeautifulNames) {
    struct Case {
        const char* path;
        const char* name;
        const char* shortName;
        const char* beautiful;
    };
    const Case cases[] = {
        {"C:\\Apps\\Calc.Pro.exe", "", "Calc.Pro", "Calc.Pro"},
        {"C:\\Tools\\make", "", "", ""},
        {"C:\\Tools\\make", "GNU Make", "", "GNU Make"},
        {"D:/bin/run.exe", "Runner", "run", "Runner"},
    };
    for (const Case& c : cases) {
        const TProcessInfo p = Process(c.path, c.name);
        EXPECT_EQ(p.ShortName(), c.shortName) << c.path;
        EXPECT_EQ(p.BeautifulName(), c.beautiful) << c.path;
    }
}

TEST(OneProcessTemplate, NewAlternativeFitsEveryProcessAndNewTemplateNone) {
    const TProcessInfo anything = Process("C:\\x\\y.exe", "Y", "Maker", "1.0");
    const TProcessInfo bare = Process("");
    EXPECT_TRUE(TOneProcessTemplate().FitsProcess(anything));
    EXPECT_TRUE(TOneProcessTemplate().FitsProcess(bare));
    EXPECT_FALSE(TProcessTemplate().FitsProcess(anything));
}

TEST(OneProcessTemplate, EachPatternTestsItsOwnField) {
    TOneProcessTemplate t;
    t.SetPathTemplate("*\\word.exe");
    t.SetNameTemplate("word*");
    t.SetCompanyTemplate("contoso*");
    t.SetVersionTemplate("16.*");
    const TProcessInfo fits = Process("C:\\Office\\WORD.EXE", "Word Processor", "Contoso Ltd", "16.0.1");
    EXPECT_TRUE(t.FitsProcess(fits));
    struct Case {
        const char* what;
        TProcessInfo p;
    };
    const Case misses[] = {
        {"path", Process("C:\\Office\\excel.exe", "Word Processor", "Contoso Ltd", "16.0.1")},
        {"name", Process("C:\\Office\\WORD.EXE", "Excel", "Contoso Ltd", "16.0.1")},
        {"company", Process("C:\\Office\\WORD.EXE", "Word Processor", "Other", "16.0.1")},
        {"version", Process("C:\\Office\\WORD.EXE", "Word Processor", "Contoso Ltd", "15.0")},
        // The name pattern sees the file description, not the display name
        // made from the path: an image without version data has none.
        {"no version data", Process("C:\\Office\\word.exe")},
    };
    for (const Case& c : misses) EXPECT_FALSE(t.FitsProcess(c.p)) << c.what;

    TOneProcessTemplate empty;
    empty.SetNameTemplate("");
    EXPECT_TRUE(empty.FitsProcess(Process("C:\\Office\\word.exe")));
    EXPECT_FALSE(empty.FitsProcess(fits));
}

TEST(OneProcessTemplate, PathListSplitsAtEverySeparator) {
    TOneProcessTemplate t;
    t.SetPathTemplate("c:\\a\\*.exe;c:\\b\\*.exe");
    EXPECT_TRUE(t.FitsProcess(Process("C:\\A\\one.exe")));
    EXPECT_TRUE(t.FitsProcess(Process("C:\\B\\two.exe")));
    EXPECT_FALSE(t.FitsProcess(Process("C:\\C\\three.exe")));
    EXPECT_FALSE(t.FitsProcess(Process("")));

    // A trailing separator leaves an empty item, which fits only an empty path;
    // blanks belong to the items.
    t.SetPathTemplate("c:\\a\\*.exe; c:\\b\\*.exe;");
    ASSERT_TRUE(t.PathList());
    EXPECT_EQ(*t.PathList(), (std::vector<std::string>{"c:\\a\\*.exe", " c:\\b\\*.exe", ""}));
    EXPECT_TRUE(t.FitsProcess(Process("")));
    EXPECT_FALSE(t.FitsProcess(Process("C:\\B\\two.exe")));

    // Back to a single pattern: the old list no longer counts.
    t.SetPathTemplate("c:\\b\\*");
    EXPECT_TRUE(t.FitsProcess(Process("C:\\B\\two.exe")));
    EXPECT_FALSE(t.FitsProcess(Process("C:\\A\\one.exe")));
}

TEST(ProcessTemplateXml, AppChildrenAreAlternatives) {
    auto t = Load(
        "<application id='42'>"
        "<app><path>*\\calc.exe</path><company>*</company><version>*</version><name>*</name></app>"
        "<note>ignored</note>"
        "<app><path>*\\calc64.exe</path><company>*</company><version>*</version><name>*</name></app>"
        "<path>*</path>"
        "</application>");
    EXPECT_EQ(t->Id(), 42);
    ASSERT_EQ(t->SimpleProcessTemplates().size(), 2u);
    EXPECT_TRUE(t->FitsProcess(Process("C:\\Windows\\calc.exe")));
    EXPECT_TRUE(t->FitsProcess(Process("C:\\Windows\\calc64.exe")));
    EXPECT_FALSE(t->FitsProcess(Process("C:\\Windows\\notepad.exe")));
}

TEST(ProcessTemplateXml, WithoutAppTheElementItselfIsTheOnlyAlternative) {
    auto t = Load(
        "<anything id='-7'><path> c:\\x\\* </path><company></company><version>1.?</version>"
        "<name>Tool <![CDATA[&]]> Co</name></anything>");
    EXPECT_EQ(t->Id(), -7);
    ASSERT_EQ(t->SimpleProcessTemplates().size(), 1u);
    const auto& one = *t->SimpleProcessTemplates()[0];
    EXPECT_EQ(one.PathTemplate(), " c:\\x\\* ");  // no trimming
    EXPECT_EQ(one.CompanyTemplate(), "");
    EXPECT_EQ(one.VersionTemplate(), "1.?");
    EXPECT_EQ(one.NameTemplate(), "Tool & Co");
    EXPECT_EQ(t->ToString(), "    -7 Tool & Co  c:\\x\\*  1.? \n\r");
}

TEST(ProcessTemplateXml, MissingPieces) {
    const char* noVersion = "<application id='3'><path>*</path><company>*</company><name>*</name></application>";
    EXPECT_THROW(Load(noVersion), EAbsentElement);
    auto lenient = Load(noVersion, false);
    ASSERT_EQ(lenient->SimpleProcessTemplates().size(), 1u);
    EXPECT_EQ(lenient->SimpleProcessTemplates()[0]->VersionTemplate(), "");
    EXPECT_TRUE(lenient->FitsProcess(Process("C:\\a.exe")));
    EXPECT_FALSE(lenient->FitsProcess(Process("C:\\a.exe", "", "", "1.0")));

    // The id is a conversion, not an absent element.
    const char* full = "<path>*</path><company>*</company><version>*</version><name>*</name>";
    for (const std::string id : {"", "id=''", "id='x1'", "id='0x10'", "id='12 '", "id='2147483648'"}) {
        const std::string text = "<application " + id + ">" + full + "</application>";
        try {
            Load(text.c_str());
            ADD_FAILURE() << id;
        } catch (const EAbsentElement&) {
            ADD_FAILURE() << id;
        } catch (const std::invalid_argument&) {
        }
    }
}

TEST(ProcessTemplateXml, LoadingReplacesEarlierAlternatives) {
    pugi::xml_document doc;
    TProcessTemplate t;
    t.AddSimpleTemplate();
    t.AddSimpleTemplate();
    t.LoadFromXML(Parse(doc, "<a id='5'><path>x</path><company>*</company><version>*</version><name>*</name></a>"));
    EXPECT_EQ(t.SimpleProcessTemplates().size(), 1u);
    EXPECT_FALSE(t.FitsProcess(Process("y")));
}

TEST(ProcessTemplate, FirstFittingTemplateIsTheApplication) {
    TProcessTemplateList list;
    for (auto [id, path] : {std::pair{1, "*\\other.exe"}, std::pair{2, "*\\tool.exe"}, std::pair{3, "*.exe"}}) {
        auto t = std::make_unique<TProcessTemplate>();
        t->SetId(id);
        t->AddSimpleTemplate().SetPathTemplate(path);
        list.push_back(std::move(t));
    }
    ASSERT_NE(FindApplication(list, Process("C:\\tool.exe")), nullptr);
    EXPECT_EQ(FindApplication(list, Process("C:\\tool.exe"))->Id(), 2);
    EXPECT_EQ(FindApplication(list, Process("C:\\any.exe"))->Id(), 3);
    EXPECT_EQ(FindApplication(list, Process("C:\\readme.txt")), nullptr);
}

TEST(ProcessTemplate, CopiesAreIndependent) {
    TProcessTemplate original;
    original.SetId(9);
    original.AddSimpleTemplate().SetPathTemplate("c:\\a\\*;c:\\b\\*");
    TProcessTemplateList list;
    list.push_back(std::make_unique<TProcessTemplate>());
    list[0]->Assign(original);
    auto copies = CopyTemplates(list);

    original.SetId(10);
    // Loading new content into the source leaves the copy alone.
    pugi::xml_document doc;
    original.LoadFromXML(Parse(doc, "<a id='11'><path>z</path><company>*</company><version>*</version><name>*</name></a>"));
    for (const auto* t : {list[0].get(), copies[0].get()}) {
        EXPECT_EQ(t->Id(), 9);
        EXPECT_TRUE(t->FitsProcess(Process("C:\\B\\x.exe")));
        ASSERT_TRUE(t->SimpleProcessTemplates()[0]->PathList());
    }
}

TEST(LicenseManagerData, InitFromAppStateTakesCopiesInOrder) {
    TProcessTemplateList cache;
    for (int id : {4, 2, 8}) {
        cache.push_back(std::make_unique<TProcessTemplate>());
        cache.back()->SetId(id);
        cache.back()->AddSimpleTemplate();
    }
    TLicenseManagerData data;
    data.SetObservedApps(CopyTemplates(cache));
    data.InitFromAppState(cache);  // replaces, doesn't add
    cache.clear();                 // the session's lists outlive the cache's content
    auto observed = data.ObservedAppsCopy();
    ASSERT_EQ(observed.size(), 3u);
    EXPECT_EQ(observed[0]->Id(), 4);
    EXPECT_EQ(observed[2]->Id(), 8);
    EXPECT_TRUE(observed[1]->FitsProcess(Process("C:\\a.exe")));
    EXPECT_TRUE(data.RunningAppsCopy().empty());
}
