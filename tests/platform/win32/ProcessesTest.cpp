// Processes on the real system: a program the test starts is seen, described
// and ended through the facility.
#include "platform/Processes.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>

#include "platform/AsciiCase.h"
#include "platform/Clock.h"
#include "platform/FileVersion.h"
#include "platform/SystemInfo.h"
#include "tests/platform/PlatformTestSupport.h"

using namespace platform;

namespace {

// A long-running console program of the system, started hidden.
struct Child {
    PROCESS_INFORMATION pi{};
    Child() {
        wchar_t cmd[] = L"ping.exe -n 120 127.0.0.1";
        STARTUPINFOW si{};
        si.cb = sizeof si;
        if (!CreateProcessW(nullptr, cmd, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi))
            pi = {};
    }
    ~Child() {
        if (!pi.hProcess) return;
        TerminateProcess(pi.hProcess, 1);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
};

TEST(Processes, AStartedProgramIsSeenDescribedAndEnded) {
    Child child;
    ASSERT_NE(child.pi.hProcess, nullptr) << GetLastError();
    const uint32_t pid = child.pi.dwProcessId;
    const double started = sys::NowLocal();

    const auto ids = proc::EnumerateProcessIds();
    ASSERT_TRUE(ids.has_value());
    EXPECT_NE(std::find(ids->begin(), ids->end(), pid), ids->end());
    EXPECT_NE(std::find(ids->begin(), ids->end(), sys::CurrentProcessId()), ids->end());

    uint32_t openError = 0;
    const auto facts = proc::QueryProcess(pid, openError);
    ASSERT_TRUE(facts.has_value()) << openError;
    EXPECT_TRUE(AsciiLower(facts->imagePath).size() > 9 &&
                AsciiLower(facts->imagePath).substr(facts->imagePath.size() - 9) == "\\ping.exe")
        << facts->imagePath;
    DWORD ownSession = 0;
    ProcessIdToSessionId(GetCurrentProcessId(), &ownSession);
    EXPECT_EQ(facts->sessionId, ownSession);
    EXPECT_EQ(facts->timesError, 0u);
    // Local creation time, within a minute of now.
    EXPECT_LT(std::abs(facts->startTime - started), 1.0 / 1440) << facts->startTime << " vs " << started;
    EXPECT_TRUE(sys::DescribeImage(facts->imagePath).executable);

    EXPECT_TRUE(proc::SetOwnPrivilege("SeDebugPrivilege", true).ok());
    EXPECT_TRUE(proc::TerminateById(pid, 0xFFFFFFFF, 30000));
    EXPECT_EQ(WaitForSingleObject(child.pi.hProcess, 5000), WAIT_OBJECT_0);
    DWORD code = 0;
    GetExitCodeProcess(child.pi.hProcess, &code);
    EXPECT_EQ(code, 0xFFFFFFFFu);
    EXPECT_FALSE(proc::QueryProcess(0x7FFFFFF0, openError).has_value());
    EXPECT_FALSE(proc::TerminateById(0x7FFFFFF0, 1, 0));
}

TEST(Processes, AProgramStartsWithoutWaitAndAFailureSaysWhy) {
    std::string error = "stale";
    EXPECT_TRUE(sys::StartProgram("ping.exe -n 1 127.0.0.1", error));
    EXPECT_EQ(error, "");
    EXPECT_FALSE(sys::StartProgram("\"C:\\QZ no such folder\\nothing.exe\" /x", error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find("System error"), std::string::npos) << error;
}

// A program that only the real System32 holds, as a 64-bit program installed
// there is for a 32-bit reader: the reader must not be sent to SysWOW64.
TEST(Processes, AProgramOnlyInTheRealSystemFolderIsDescribedFromA32BitProcess) {
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    const std::string name = "qz-native-only-" + std::to_string(GetCurrentProcessId()) + ".exe";
    // Sysnative is the real System32 as a 32-bit program on 64-bit Windows names it.
    const std::string real = sys::WindowsDir() + (wow64 ? "\\Sysnative\\" : "\\System32\\") + name;
    ASSERT_TRUE(CopyFileA(qztest::WinPath(QZ_SERVICE_EXE).c_str(), real.c_str(), FALSE)) << GetLastError();
    const std::string asked = sys::WindowsDir() + "\\System32\\" + name;
    const auto strings = sys::TranslatedVersionStrings(asked, {"CompanyName", "FileDescription"});
    const auto shell = sys::DescribeImage(asked);
    DeleteFileA(real.c_str());
    ASSERT_TRUE(strings.has_value()) << asked << (wow64 ? " (32-bit under WoW64)" : "");
    EXPECT_EQ(*strings, (std::vector<std::string>{"Korvane Inc", "Tallisto Service"}));
    EXPECT_TRUE(shell.executable);
    if (wow64) {
        const std::string twin = sys::WindowsDir() + "\\SysWOW64\\" + name;
        EXPECT_EQ(GetFileAttributesA(twin.c_str()), INVALID_FILE_ATTRIBUTES) << "the copy landed in SysWOW64";
    }
}

TEST(Processes, VersionStringsOfTheTranslationBlockAndTheTokenUser) {
    const std::string exe = qztest::WinPath(QZ_SERVICE_EXE);
    const auto strings = sys::TranslatedVersionStrings(exe, {"CompanyName", "FileDescription", "FileVersion", "Nope"});
    ASSERT_TRUE(strings.has_value());
    EXPECT_EQ(*strings, (std::vector<std::string>{"Korvane Inc", "Tallisto Service", QZ_VERSION, ""}));
    const auto shell = sys::DescribeImage(exe);
    EXPECT_TRUE(shell.executable);
    // A file without a version resource.
    EXPECT_FALSE(sys::TranslatedVersionStrings(sys::WindowsDir() + "\\win.ini", {"CompanyName"}).has_value());
    EXPECT_FALSE(sys::DescribeImage(sys::WindowsDir() + "\\win.ini").executable);

    const proc::ProcessHandle self = proc::OpenProcessAllAccess(sys::CurrentProcessId());
    ASSERT_NE(self, 0u);
    const sec::TokenHandle token = sec::OpenProcessTokenForQuery(self);
    ASSERT_NE(token, 0u);
    const std::string user = proc::TokenUserAccount(token);
    EXPECT_NE(user.find('\\'), std::string::npos) << user;
    sec::CloseToken(token);
    proc::CloseProcess(self);
}

// A start in a session: the image is read through the open process, the
// program starts on the named desktop, and UI access is refused to a token
// that isn't the system account's (under Wine every process is the user's).
TEST(Processes, AStartAsAProcesssUserNamesItsDesktopAndGivesUiAccessOnlyToTheSystem) {
    const proc::ProcessHandle self = proc::OpenProcessAllAccess(sys::CurrentProcessId());
    ASSERT_NE(self, 0u);
    EXPECT_EQ(AsciiLower(proc::ProcessImagePath(self)), AsciiLower(sys::ModulePath()));
    const sec::TokenHandle token = sec::OpenProcessTokenForQuery(self);
    ASSERT_NE(token, 0u);
    const std::string sid = sec::TokenUserSid(token);
    sec::CloseToken(token);
    EXPECT_EQ(sid.rfind("S-1-5-", 0), 0u) << sid;

    proc::SessionStart start;
    start.appPath = sys::SystemDir() + "\\ping.exe";
    start.commandLine = "-n 1 127.0.0.1";
    start.desktop = proc::InteractiveDesktop;
    start.waitForEndMs = 10000;
    uint32_t error = 0;
    if (sid != sec::LocalSystemSid) {
        start.uiAccess = true;
        EXPECT_EQ(proc::StartAsProcessUser(self, start, error), proc::StartInSessionResult::NotSystemToken);
        start.uiAccess = false;
    }
    EXPECT_EQ(proc::StartAsProcessUser(self, start, error), proc::StartInSessionResult::Started) << error;
    EXPECT_EQ(proc::StartAsProcessUser(0, start, error), proc::StartInSessionResult::CantOpenProcess);
    proc::CloseProcess(self);
}

}  // namespace

// A program run for its output: what it writes and its code when it ends;
// one that writes too much or runs too long is ended, within the bounds.
TEST(Processes, RunForOutputReadsEndsAndBoundsTheChild) {
    char folder[MAX_PATH] = {};
    GetSystemDirectoryA(folder, MAX_PATH);
    const std::string system = folder;
    const std::string cmd = system + "\\cmd.exe";

    const auto echo = sys::RunForOutput(cmd, "/c echo hello& exit 3", 20000, 1024);
    EXPECT_EQ(echo.end, sys::ChildEnd::Exited);
    EXPECT_EQ(echo.exitCode, 3u);
    EXPECT_EQ(echo.output, "hello\r\n");

    const auto flood = sys::RunForOutput(cmd, "/c for /L %i in (1,1,20000) do @echo 0123456789", 20000, 4096);
    EXPECT_EQ(flood.end, sys::ChildEnd::TooLong);
    EXPECT_EQ(flood.output.size(), 4096u);

    const auto slow = sys::RunForOutput(system + "\\ping.exe", "-n 120 127.0.0.1", 1500, 1 << 20);
    EXPECT_EQ(slow.end, sys::ChildEnd::TimedOut);
    EXPECT_NE(slow.exitCode, 0u);
}

TEST(Processes, AProcessStartIsTheOneItsFactsGive) {
    Child child;
    ASSERT_NE(child.pi.hProcess, nullptr) << GetLastError();
    uint32_t openError = 0;
    const auto start = proc::QueryProcessStart(child.pi.dwProcessId, openError);
    const auto facts = proc::QueryProcess(child.pi.dwProcessId, openError);
    ASSERT_TRUE(start && facts) << openError;
    EXPECT_EQ(start->timesError, 0u);
    EXPECT_GT(start->startTime, 0);
    EXPECT_EQ(start->startTime, facts->startTime);
}

// Under Wine the shell reads a type name through COM, which then stays: an
// image described without it leaves COM out of the process.
TEST(Processes, AnImageDescribedWithoutItsTypeNameLeavesComUnloaded) {
    const std::string exe = qztest::WinPath(QZ_SERVICE_EXE);
    ASSERT_EQ(GetModuleHandleA("ole32.dll"), nullptr) << "COM was loaded before the test";
    const auto plain = sys::DescribeImage(exe, false);
    EXPECT_TRUE(plain.executable);
    EXPECT_EQ(plain.fileType, "");
    EXPECT_EQ(GetModuleHandleA("ole32.dll"), nullptr);
    const auto named = sys::DescribeImage(exe, true);
    EXPECT_TRUE(named.executable);
    EXPECT_FALSE(named.fileType.empty());
}
