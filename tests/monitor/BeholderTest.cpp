#include "monitor/Beholder.h"

#include "platform/DateTime.h"
#include "platform/Errors.h"
#include "platform/Registry.h"
#include "tests/support/TestSupport.h"

using namespace qz;
using platform::fake::FakeProcess;

namespace {

// Every test stages processes of its own: none finds what an earlier test's
// snapshot described, or the privilege it enabled.
struct FreshSnapshots : ::testing::EmptyTestEventListener {
    void OnTestStart(const ::testing::TestInfo&) override {
        TBeholder::ForgetDescribedProcesses();
        TBeholder::ForgetDebugPrivilege();
    }
};
const bool g_freshSnapshots = [] {
    ::testing::UnitTest::GetInstance()->listeners().Append(new FreshSnapshots);
    return true;
}();

class BeholderTest : public qztest::PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        TBeholder::VersionCache().Clear();
    }
    void TearDown() override {
        TBeholder::VersionCache().Clear();
        PlatformTest::TearDown();
    }
    FakeProcess& Stage(uint32_t pid, const std::string& path, uint32_t session = 1) {
        return qztest::StageProcess(pid, path, session, EncodeDateTime({2026, 12, 1, 8, 0, 0, 0}));
    }
    void Image(const std::string& path, const std::string& description, const std::string& company = "Vendor",
               const std::string& version = "1.0") {
        W().executables.insert(path);
        W().fileTypes[path] = "Application";
        W().versionStrings[path] = {{"FileDescription", description}, {"CompanyName", company}, {"FileVersion", version}};
    }
    static const TProcessInfo* Pid(const TProcessList& list, uint32_t pid) {
        for (const auto& p : list)
            if (p.FPId == pid) return &p;
        return nullptr;
    }
};

TEST_F(BeholderTest, SnapshotDescribesEveryProcessItCanOpen) {
    for (uint32_t pid : {0u, 4u, 10u}) Stage(pid, "C:\\Windows\\System32\\smss.exe");
    Stage(11, "C:\\Tools\\calc.exe", 2);
    Image("C:\\Tools\\calc.exe", "Calc\x01ulator", "Maker\x02Inc", "2.0");
    Stage(12, "\\??\\C:\\Tools\\app.exe");
    Stage(13, "\\SystemRoot\\System32\\smss.exe");
    Stage(14, "\\\\server\\share\\net.exe");
    Image("\\\\server\\share\\net.exe", "Net");
    Stage(15, "C:\\Gone\\gone.exe").openable = false;  // ended between enumeration and opening
    Stage(16, "C:\\Tools\\times.exe").timesError = 5;
    Stage(17, "C:\\Tools\\noversion.exe");
    W().executables.insert("C:\\Tools\\noversion.exe");

    const TProcessList list = TBeholder::GetProcessList();
    for (uint32_t pid : {0u, 4u, 10u, 15u}) EXPECT_EQ(Pid(list, pid), nullptr) << pid;
    ASSERT_EQ(list.size(), 6u);

    const TProcessInfo* calc = Pid(list, 11);
    ASSERT_NE(calc, nullptr);
    EXPECT_EQ(calc->FSessionId, 2u);
    EXPECT_EQ(calc->FName, "Calculator");  // control characters filtered
    EXPECT_EQ(calc->FCompanyName, "MakerInc");
    EXPECT_EQ(calc->FVersion, "2.0");
    EXPECT_EQ(calc->BeautifulName(), "Calculator");
    EXPECT_DOUBLE_EQ(calc->FStartTime, EncodeDateTime({2026, 12, 1, 8, 0, 0, 0}));

    EXPECT_EQ(Pid(list, 12)->FProcessPath, "C:\\Tools\\app.exe");
    EXPECT_EQ(Pid(list, 13)->FProcessPath, "C:\\Windows\\System32\\smss.exe");
    // Network images are listed without version strings.
    EXPECT_EQ(Pid(list, 14)->FName, "");
    EXPECT_EQ(Pid(list, 16)->FStartTime, 0);
    EXPECT_EQ(Pid(list, 17)->FName, "");
    EXPECT_EQ(Pid(list, 17)->BeautifulName(), "noversion");
    EXPECT_TRUE(log->Has("For process 15 there is error " + platform::SystemErrorText(87)));
}

TEST_F(BeholderTest, EnumerationFailureGivesAnEmptySnapshot) {
    Stage(11, "C:\\Tools\\calc.exe");
    W().enumerateProcessesFails = true;
    EXPECT_TRUE(TBeholder::GetProcessList().empty());
}

TEST_F(BeholderTest, VersionStringsAreReadOncePerProcessInstance) {
    Stage(20, "C:\\Tools\\calc.exe");
    Image("C:\\Tools\\calc.exe", "Calculator");
    TBeholder::GetProcessList();
    TBeholder::GetProcessList();
    EXPECT_EQ(W().versionReads, 1);
    // The same id restarted later is another instance: read again.
    W().processes[0].startTime += 1.0 / 24;
    Image("C:\\Tools\\calc.exe", "Calculator 2");
    EXPECT_EQ(TBeholder::GetProcessList()[0].FName, "Calculator 2");
    EXPECT_EQ(W().versionReads, 2);
}

TEST_F(BeholderTest, VersionCacheIsBoundedAndIgnoresLetterCase) {
    TStringHashTable table(3);
    auto value = [](const std::string& d) {
        auto v = std::make_shared<TFileVersionInfo>();
        v->FileDescription = d;
        return v;
    };
    table.Add("A|1", value("a"));
    table.Add("a|1", value("b"));  // same key: replaced
    EXPECT_EQ(table.GetSize(), 1u);
    EXPECT_EQ(std::dynamic_pointer_cast<const TFileVersionInfo>(table.GetData("A|1"))->FileDescription, "b");
    for (int i = 2; i <= 4; ++i) table.Add("k" + std::to_string(i), value("x"));
    EXPECT_EQ(table.GetSize(), 4u);  // one above the bound is still kept
    table.Add("k5", value("y"));     // more than the bound: emptied first
    EXPECT_EQ(table.GetSize(), 1u);
    EXPECT_EQ(table.GetData("a|1"), nullptr);
    EXPECT_EQ(table.ToString(), "k5 - |y||\n\r");
}

TEST_F(BeholderTest, InteractiveUserIsTheShellsTokenUser) {
    const platform::reg::Key winlogon{platform::reg::Hive::LocalMachine,
                                      "Software\\Microsoft\\Windows NT\\CurrentVersion\\WinLogon",
                                      platform::reg::View::Default};
    Stage(30, "C:\\Windows\\System32\\svchost.exe");
    FakeProcess& shell = Stage(31, "C:\\Windows\\Explorer.EXE");
    shell.tokenUser = "CORP\\jane";
    shell.tokenIsAdmin = true;
    const TProcessList list = TBeholder::GetProcessList();

    EXPECT_EQ(TBeholder::GetInteractiveUsername(list), "");  // no shell configured
    platform::reg::SetString(winlogon, "Shell", "explorer.exe");
    EXPECT_EQ(TBeholder::GetInteractiveUsername(list), "CORP\\jane");
    EXPECT_TRUE(W().processHandles.empty());  // the shell handle is closed
    platform::reg::SetString(winlogon, "Shell", "explorer.exe /separate");
    EXPECT_EQ(TBeholder::GetInteractiveUsername(list), "");
}

TEST_F(BeholderTest, TerminationNeedsTheDebugPrivilegeAndDropsItAfter) {
    Stage(40, "C:\\Tools\\calc.exe");
    Stage(41, "C:\\Tools\\stuck.exe").terminable = false;
    EXPECT_TRUE(TBeholder::ProcessTerminate(40));
    EXPECT_FALSE(TBeholder::ProcessTerminate(41));
    EXPECT_FALSE(TBeholder::ProcessTerminate(99));
    EXPECT_EQ(W().terminated, std::vector<uint32_t>{40});
    ASSERT_GE(W().privilegeChanges.size(), 2u);
    EXPECT_EQ(W().privilegeChanges[1], std::make_pair(std::string("SeDebugPrivilege"), false));
    W().missingPrivileges.insert("SeDebugPrivilege");
    Stage(42, "C:\\Tools\\calc.exe");
    EXPECT_FALSE(TBeholder::ProcessTerminate(42));
}

// A snapshot enables the debug privilege when it isn't on, not every pass; a
// termination drops it, and a pass whose enabling failed tries again.
TEST_F(BeholderTest, TheDebugPrivilegeIsEnabledOnlyWhenOff) {
    using Change = std::pair<std::string, bool>;
    const Change on{"SeDebugPrivilege", true}, off{"SeDebugPrivilege", false};
    Stage(40, "C:\\Tools\\calc.exe");
    Stage(41, "C:\\Tools\\calc.exe");
    TBeholder::GetProcessList();
    EXPECT_EQ(TBeholder::GetProcessList().size(), 2u);
    EXPECT_EQ(W().privilegeChanges, std::vector<Change>{on});
    ASSERT_TRUE(TBeholder::ProcessTerminate(40));
    TBeholder::GetProcessList();
    EXPECT_EQ(W().privilegeChanges, (std::vector<Change>{on, on, off, on}));

    TBeholder::ForgetDebugPrivilege();
    W().privilegeChanges.clear();
    W().missingPrivileges.insert("SeDebugPrivilege");
    TBeholder::GetProcessList();
    W().missingPrivileges.clear();
    TBeholder::GetProcessList();
    EXPECT_EQ(W().privilegeChanges, std::vector<Change>{on});
}

// A process the previous snapshot described, found again with the same
// start, keeps its facts without being asked for them; a new process under
// an old id, or one whose start can't be read, is asked in full.
TEST_F(BeholderTest, AnUnchangedProcessKeepsItsFactsWithoutBeingAskedAgain) {
    Image("C:\\Tools\\calc.exe", "Calculator");
    Image("C:\\Tools\\edit.exe", "Editor");
    Stage(40, "C:\\Tools\\calc.exe");
    Stage(41, "C:\\Tools\\calc.exe", 2);
    Stage(42, "C:\\Tools\\calc.exe").timesError = 5;
    auto rows = [](const TProcessList& list) {
        std::vector<std::string> out;
        for (const auto& p : list) out.push_back(p.ToString());
        return out;
    };
    const auto first = rows(TBeholder::GetProcessList());
    EXPECT_EQ(W().processQueries, 3);
    EXPECT_EQ(rows(TBeholder::GetProcessList()), first);
    EXPECT_EQ(W().processQueries, 4);  // only the one without a start

    // Id 41 now belongs to another program, started later.
    W().processes[1].path = "C:\\Tools\\edit.exe";
    W().processes[1].startTime += 1.0 / 86400;
    const TProcessList third = TBeholder::GetProcessList();
    EXPECT_EQ(W().processQueries, 6);
    ASSERT_NE(Pid(third, 41), nullptr);
    EXPECT_EQ(Pid(third, 41)->FName, "Editor");
    EXPECT_EQ(Pid(third, 40)->FName, "Calculator");

    // A process gone and one that can't be opened any more leave the snapshot.
    W().processes[0].openable = false;
    W().processes.pop_back();
    const TProcessList fourth = TBeholder::GetProcessList();
    EXPECT_EQ(fourth.size(), 1u);
    EXPECT_EQ(W().processQueries, 6);
    EXPECT_TRUE(log->Has("For process 40 there is error " + platform::SystemErrorText(87)));
}

// An image's type name shows only in the log's lines of the version cache:
// it is asked only when the log takes them.
TEST_F(BeholderTest, TheTypeNameIsAskedOnlyWhenTheLogShowsIt) {
    Image("C:\\Tools\\calc.exe", "Calculator");
    TLogger::SetMainLevel(logInfo);
    auto quiet = TBeholder::GetFileVersion("C:\\Tools\\calc.exe", "40|a");
    ASSERT_TRUE(quiet.has_value());
    EXPECT_EQ(quiet->ToString(), "|Calculator|1.0|Vendor");
    TLogger::SetMainLevel(logFiner);
    auto told = TBeholder::GetFileVersion("C:\\Tools\\calc.exe", "41|b");
    ASSERT_TRUE(told.has_value());
    EXPECT_EQ(told->ToString(), "Application|Calculator|1.0|Vendor");
    EXPECT_TRUE(log->Has("The version was taken for C:\\Tools\\calc.exe - Application|Calculator|1.0|Vendor"));
}

}  // namespace
