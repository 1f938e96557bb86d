#include "sessions/PowerUtils.h"

#include <chrono>
#include <thread>

#include "common/Logger.h"
#include "platform/NamedEvents.h"
#include "common/Utils.h"
#include "common/WorkerSet.h"
#include "platform/AsciiCase.h"
#include "platform/Clock.h"
#include "platform/Errors.h"
#include "platform/Processes.h"
#include "platform/Sessions.h"
#include "platform/SystemInfo.h"

namespace qz {

uint32_t TPowerUtils::GetActiveSessionId() {
    uint32_t id = NoSession;
    try {
        auto sessions = platform::wts::EnumerateSessions();
        if (!sessions) return NoSession;
        for (const auto& s : *sessions)
            if (s.state == platform::wts::StateActive) id = s.id;
    } catch (...) {
        return NoSession;
    }
    return id;
}

bool TPowerUtils::LogOffComputer(uint32_t SessionId) { return platform::wts::LogoffSession(SessionId); }

bool TPowerUtils::LogOffComputer() {
    TLogger::Fine("Try to logoff");
    const uint32_t id = GetActiveSessionId();
    if (id == NoSession) {
        TLogger::Fine("No active user session");
        return false;
    }
    return LogOffComputer(id);
}

bool TPowerUtils::RestartComputer() { return ExitWindows(platform::proc::ExitRebootForceIfHung); }
bool TPowerUtils::ShutdownComputer() { return ExitWindows(platform::proc::ExitPowerOffForce); }

bool TPowerUtils::ExitWindows(uint32_t flags) {
    using platform::proc::PrivilegeStep;
    const auto outcome = platform::proc::SetOwnPrivilege("SeShutdownPrivilege", true);
    if (!outcome.ok()) {
        const char* step = outcome.failedAt == PrivilegeStep::OpenToken ? "OpenProcessToken"
                           : outcome.failedAt == PrivilegeStep::Lookup  ? "LookupPrivilegeValue"
                                                                        : "AdjustTokenPrivileges";
        TLogger::Info(std::string("ExitWindows::") + step + " error " + std::to_string(outcome.error) + " " +
                      platform::SystemErrorText(outcome.error));
    }
    TLogger::Fine("Calling ExitWindowsEx");
    return platform::proc::ExitSystem(flags);
}

namespace {

// The session's logon process as the system runs it: its image is the
// system's own winlogon.exe and its token's user is the system account. A
// program of that name started by a user passes neither.
bool IsSystemLogonProcess(platform::proc::ProcessHandle process) {
    const std::string image = platform::sys::SystemDir() + "\\winlogon.exe";
    if (platform::AsciiLower(platform::proc::ProcessImagePath(process)) != platform::AsciiLower(image)) return false;
    const auto token = platform::sec::OpenProcessTokenForQuery(process);
    if (!token) return false;
    const bool system = platform::sec::TokenUserSid(token) == platform::sec::LocalSystemSid;
    platform::sec::CloseToken(token);
    return system;
}

}  // namespace

bool TApplicationUtils::StartApplication(uint32_t SessionId, const std::string& AppPath,
                                         const std::string& CommandLine) {
    const auto processes = platform::wts::EnumerateProcesses();
    if (!processes) return false;
    for (const auto& p : *processes) {
        if (p.sessionId != SessionId || platform::AsciiLower(p.name) != "winlogon.exe") continue;
        using R = platform::proc::StartInSessionResult;
        // Checked and started through one handle, so the process can't change under the check.
        const auto process = platform::proc::OpenProcessAllAccess(p.pid);
        if (!process) {
            TLogger::Warning("Start UI module: can not open process");
            continue;
        }
        if (!IsSystemLogonProcess(process)) {
            platform::proc::CloseProcess(process);
            TLogger::Warning("Start UI module: process " + std::to_string(p.pid) + " is not the system's winlogon.exe");
            continue;
        }
        platform::proc::SessionStart start;
        start.appPath = AppPath;
        start.commandLine = CommandLine;
        start.desktop = platform::proc::InteractiveDesktop;
        start.uiAccess = true;
        uint32_t startError = 0;
        const R outcome = platform::proc::StartAsProcessUser(process, start, startError);
        platform::proc::CloseProcess(process);
        switch (outcome) {
            case R::Started: TLogger::Finest("Start UI module: all right"); break;
            case R::CantOpenProcess: TLogger::Warning("Start UI module: can not open process"); break;
            case R::CantOpenToken: TLogger::Warning("Start UI module: can not open token"); break;
            case R::CantDuplicateToken: TLogger::Warning("Start UI module: can not duplicate token"); break;
            case R::NotSystemToken: TLogger::Warning("Start UI module: not the system's token"); break;
            case R::CantStart:
                TLogger::Warning("Start UI module: can not start process " + platform::SystemErrorText(startError));
                break;
        }
        // The session has one logon process: the first accepted is the one.
        return outcome == R::Started;
    }
    return false;
}

void TApplicationUtils::StopApplication(const TProcessList& processes) {
    const std::string folder = ExtractFilePath(platform::sys::ModulePath());
    const std::string messenger = platform::AsciiLower(folder + MessengerExe);
    const std::string notifier = platform::AsciiLower(folder + NotifierExe);
    for (const auto& p : processes) {
        const std::string path = platform::AsciiLower(p.FProcessPath);
        if (path == messenger || path == notifier) TBeholder::ProcessTerminate(p.FPId);
    }
}

bool TApplicationUtils::StopUI() {
    try {
        if (!IsWin8OrNewer()) return false;
    } catch (...) {
        return false;
    }
    const auto start = platform::sys::TickCountMs();
    StopApplication(TBeholder::GetProcessList());
    TLogger::Fine("StopUI time - " + std::to_string(platform::sys::TickCountMs() - start));
    return true;
}

namespace {
// The display starts' threads: each waits out its delay, cut short at stop.
TWorkerSet& NotifierStarts() {
    static TWorkerSet set(4);
    return set;
}
}  // namespace

void TApplicationUtils::StartSLNotifier(uint32_t SessionLength, uint32_t Delay, uint32_t SessionId) {
    if (TUtils::ReadRegistryKey("DisableSLNotifier") == "1") return;
    const bool started = NotifierStarts().Start([=] {
        try {
            RunSLNotifier(SessionLength, Delay, SessionId);
        } catch (const std::exception& e) {
            TLogger::Warning(std::string("Start SL notifier: ") + e.what());
        }
    });
    if (!started) TLogger::Warning("Start SL notifier: no thread for it");
}

void TApplicationUtils::StopSLNotifiers() { NotifierStarts().StopAndJoin(); }

void TApplicationUtils::RunSLNotifier(uint32_t SessionLength, uint32_t Delay, uint32_t SessionId) {
    const std::string program = ExtractFilePath(platform::sys::ModulePath()) + NotifierExe;
    const std::string argument = std::to_string(static_cast<int64_t>(SessionLength) - static_cast<int64_t>(Delay));
    if (SessionId == TPowerUtils::NoSession) return;
    std::string shell = TBeholder::GetShellProcessName();
    shell = platform::AsciiLower(shell.substr(shell.find_last_of("\\/") + 1));
    if (Delay > 0 && !NotifierStarts().Sleep(Delay * 1000)) return;
    const auto processes = platform::wts::EnumerateProcesses();
    bool found = false;
    for (const auto& p : processes.value_or(std::vector<platform::wts::ProcessEntry>{})) {
        if (p.sessionId != SessionId || platform::AsciiLower(p.name) != shell) continue;
        found = true;
        uint32_t startError = 0;
        using R = platform::proc::StartInSessionResult;
        // Started under the shell user's own token, without UI access, with
        // the default security; waits up to 8 s for the display to finish.
        platform::proc::SessionStart start;
        start.appPath = program;
        start.commandLine = argument;
        start.desktop = platform::proc::InteractiveDesktop;
        start.waitForEndMs = 8000;
        const auto process = platform::proc::OpenProcessAllAccess(p.pid);
        const R outcome = process ? platform::proc::StartAsProcessUser(process, start, startError) : R::CantOpenProcess;
        platform::proc::CloseProcess(process);
        switch (outcome) {
            case R::Started:
                platform::sys::PulseExistingNamedEvent(NotifierEventPrefix + std::to_string(SessionId));
                TLogger::Finest("Start SL notifier: all right");
                break;
            case R::CantOpenProcess: TLogger::Warning("Start SL notifier: can not open process"); break;
            case R::CantOpenToken: TLogger::Warning("Start SL notifier: can not open token"); break;
            case R::CantDuplicateToken: TLogger::Warning("Start SL notifier: can not duplicate token"); break;
            case R::NotSystemToken: break;  // never asked: the display has no UI access
            case R::CantStart:
                TLogger::Warning("Start SL notifier: can not start process " + platform::SystemErrorText(startError));
                break;
        }
    }
    if (!found) TLogger::Fine("Shell not found");
}

}  // namespace qz
