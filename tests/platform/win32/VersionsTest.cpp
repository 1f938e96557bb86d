// What depends on the Windows version, on the real system: the program runs
// once for each version the test prefix is switched to (QZ_WINVER names it,
// in winecfg's names) and holds every path to what that version must show.
// A prefix that wasn't switched fails the first test, since the system must
// report the version named.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "commands/ComputerInfo.h"
#include "common/Logger.h"
#include "common/Utils.h"
#include "messaging/Messenger.h"
#include "monitor/Beholder.h"
#include "platform/AsciiCase.h"
#include "platform/Processes.h"
#include "platform/SystemInfo.h"
#include "sessions/PowerUtils.h"
#include "sessions/TSUtils.h"
#include "tests/support/TestSupport.h"
// Last: its macros (ExitWindows) would rename the project's own names.
#include <windows.h>

using namespace qz;
using platform::proc::ImagePathQuery;

namespace {

struct Version {
    const char* name;  // as winecfg calls it
    uint32_t major, minor;
    uint32_t firstBuild, lastBuild;
    uint8_t productType;
    const char* osName;      // what the inventory's line must call the system
    uint16_t servicePack;
    bool win8Family;         // the messenger's route through the message program
    bool stopUI;             // the session programs are ended at stop
    TStationType station;    // no server here has the session host feature
    ImagePathQuery query;
};

constexpr auto Ws = platform::sys::ProductWorkstation;
constexpr auto Srv = platform::sys::ProductServer;
constexpr auto Full = ImagePathQuery::FullImageName;
constexpr auto Regular = TStationType::stRegular;

const Version kVersions[] = {
    {"vista", 6, 0, 6000, 6002, Ws, "Windows Vista", 2, false, false, Regular, Full},
    {"win7", 6, 1, 7600, 7601, Ws, "Windows 7", 1, false, false, Regular, Full},
    {"win2008r2", 6, 1, 7600, 7601, Srv, "Windows 2008 R2", 1, false, false, Regular, Full},
    {"win8", 6, 2, 9200, 9200, Ws, "Windows 8 ", 0, true, true, Regular, Full},
    {"win81", 6, 3, 9600, 9600, Ws, "Windows 8.1", 0, true, true, Regular, Full},
    {"win10", 10, 0, 10240, 21999, Ws, "Windows 10", 0, false, true, Regular, Full},
    {"win11", 10, 0, 22000, 99999, Ws, "Windows 11", 0, false, true, Regular, Full},
};

const Version* Named() {
    const char* name = std::getenv("QZ_WINVER");
    if (!name) return nullptr;
    for (const auto& v : kVersions)
        if (std::string(v.name) == name) return &v;
    return nullptr;
}

std::string Lower(const std::string& s) { return platform::AsciiLower(s); }

// The stand-in for a session program beside this one, named as the message program.
std::string SleeperPath() {
    return ExtractFilePath(platform::sys::ModulePath()) + TApplicationUtils::MessengerExe;
}

struct Sleeper {
    PROCESS_INFORMATION pi{};
    Sleeper() {
        const std::string path = "\"" + SleeperPath() + "\"";
        std::wstring cmd(path.size() + 1, L'\0');
        cmd.resize(MultiByteToWideChar(CP_UTF8, 0, path.c_str(), -1, cmd.data(), static_cast<int>(cmd.size())));
        STARTUPINFOW si{};
        si.cb = sizeof si;
        if (!CreateProcessW(nullptr, cmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi))
            pi = {};
    }
    ~Sleeper() {
        if (!pi.hProcess) return;
        TerminateProcess(pi.hProcess, 1);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
    }
    bool Ended(DWORD waitMs) const { return WaitForSingleObject(pi.hProcess, waitMs) == WAIT_OBJECT_0; }
};

class Versions : public ::testing::Test {
protected:
    void SetUp() override {
        v = Named();
        ASSERT_NE(v, nullptr) << "QZ_WINVER must name the version the prefix runs as: "
                              << (std::getenv("QZ_WINVER") ? std::getenv("QZ_WINVER") : "(unset)");
        TLogger::ResetForTests();
        log = std::make_unique<qztest::MemoryHandler>();
    }
    void TearDown() override {
        TLogger::ResetForTests();
        log.reset();
    }
    const Version* v = nullptr;
    std::unique_ptr<qztest::MemoryHandler> log;
};

TEST_F(Versions, TheSystemReportsTheVersionNamed) {
    const auto os = platform::sys::GetOsVersion();
    EXPECT_EQ(os.major, v->major);
    EXPECT_EQ(os.minor, v->minor);
    EXPECT_GE(os.build, v->firstBuild);
    EXPECT_LE(os.build, v->lastBuild);
    EXPECT_EQ(os.productType, v->productType);
    EXPECT_EQ(os.servicePackMajor, v->servicePack);
}

TEST_F(Versions, TheInventoryNamesTheSystem) {
    const auto os = platform::sys::GetOsVersion();
    // The prefix is 64-bit: a 32-bit program runs there as under WoW64.
    BOOL wow64 = FALSE;
    IsWow64Process(GetCurrentProcess(), &wow64);
    const bool x64 = sizeof(void*) == 8 || wow64;
    std::string tail = " (Version " + std::to_string(v->major) + "." + std::to_string(v->minor) + ", Build " +
                       std::to_string(os.build) + (x64 ? ", 64-bit Edition)" : ", 32-bit Edition)");
    if (v->servicePack) tail = " Service Pack " + std::to_string(v->servicePack) + tail;
    const std::string line = TComputerInfo::GetOSLine();
    ASSERT_GT(line.size(), tail.size()) << line;
    EXPECT_EQ(line.substr(line.size() - tail.size()), tail) << line;
    const std::string name = line.substr(0, line.size() - tail.size()) + " ";
    EXPECT_NE(name.find(v->osName), std::string::npos) << line;
    std::printf("inventory: %s\n", line.c_str());
}

TEST_F(Versions, TheMessengerTakesTheRouteOfTheVersion) {
    EXPECT_EQ(IsWin8Family(), v->win8Family);
    // Wine lists no active session: there the route ends before it shows anything.
    const bool console = TPowerUtils::GetActiveSessionId() != TPowerUtils::NoSession;
    TMessageCache cache(100);
    TMessengerContext ctx;  // as the main service fills it on a single-user station
    ctx.Win8Family = IsWin8Family();
    ctx.Cache = &cache;
    ctx.ListenerPort = [] { return 1; };
    ctx.ProgramFolder = ExtractFilePath(platform::sys::ModulePath());
    ctx.Run = [](std::function<void()> work) { work(); };
    {
        TMessenger messenger(ctx);
        messenger.ShowMessage("text", "title", "", 0);
    }
    EXPECT_TRUE(log->Has(v->win8Family ? "Show Message in win 8/8.1" : "Show Message in Vista or higher"));
    // The Windows 8 route leaves the text for the message program to fetch;
    // the other asks the system's box, which keeps nothing here.
    if (console)
        EXPECT_EQ(cache.Count(), v->win8Family ? 1u : 0u);
    else
        EXPECT_TRUE(log->Has("No interactive user, can not show message"));
}

TEST_F(Versions, StopUIEndsTheSessionProgramsFromWindows8On) {
    EXPECT_EQ(IsWin8OrNewer(), v->stopUI);
    Sleeper sleeper;
    ASSERT_NE(sleeper.pi.hProcess, nullptr) << GetLastError();
    EXPECT_EQ(TApplicationUtils::StopUI(), v->stopUI);
    EXPECT_EQ(sleeper.Ended(v->stopUI ? 10000 : 0), v->stopUI);
    bool timed = false;
    for (const auto& line : log->Lines()) timed = timed || line.find("StopUI time - ") != std::string::npos;
    EXPECT_EQ(timed, v->stopUI);
}

TEST_F(Versions, TheStationTypeFollowsTheProductType) {
    EXPECT_EQ(TTSUtils::GetStationType(), v->station);
    // Only a server goes on to look for the session host feature.
    if (v->productType == Srv)
        EXPECT_TRUE(log->Has("Remote desktop session host installed - False"));
    else
        EXPECT_TRUE(log->Has("OS is not windows server"));
}

TEST_F(Versions, TheProcessQueryTellsPathAndSessionOnEitherBranch) {
    EXPECT_EQ(platform::proc::ImagePathQueryInUse(), v->query);
    Sleeper sleeper;
    ASSERT_NE(sleeper.pi.hProcess, nullptr) << GetLastError();
    const uint32_t pid = sleeper.pi.dwProcessId;
    DWORD ownSession = 0;
    ASSERT_TRUE(ProcessIdToSessionId(GetCurrentProcessId(), &ownSession));

    uint32_t openError = 0;
    const auto child = platform::proc::QueryProcess(pid, openError);
    ASSERT_TRUE(child.has_value()) << openError;
    EXPECT_EQ(Lower(child->imagePath), Lower(SleeperPath()));
    EXPECT_EQ(child->sessionId, ownSession);
    EXPECT_EQ(child->timesError, 0u);
    const auto self = platform::proc::QueryProcess(GetCurrentProcessId(), openError);
    ASSERT_TRUE(self.has_value()) << openError;
    EXPECT_EQ(Lower(self->imagePath), Lower(platform::sys::ModulePath()));

    // The snapshot the agent meters with finds it the same way.
    bool seen = false;
    for (const auto& p : TBeholder::GetProcessList())
        if (p.FPId == pid) {
            seen = true;
            EXPECT_EQ(Lower(p.FProcessPath), Lower(SleeperPath()));
            EXPECT_EQ(p.FSessionId, ownSession);
        }
    EXPECT_TRUE(seen);
    std::printf("image path query: %s, session %lu\n",
                platform::proc::ImagePathQueryInUse() == Full ? "full image name" : "first module",
                static_cast<unsigned long>(ownSession));
}

}  // namespace
