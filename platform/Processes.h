#pragma once
// Processes: starting programs, snapshots, privileges, ending processes and
// the machine's power. Failures answer false, 0 or nullopt; only the calls
// that say so raise SystemError.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Security.h"

namespace platform::sys {

// Starts a program hidden, without waiting. Returns false when it could not start.
bool StartHidden(const std::string& commandLine);
// Starts a program with normal priority and the caller's show-window state,
// inheriting no handles, without waiting. False when it could not start;
// error then holds the system's text for why.
bool StartProgram(const std::string& commandLine, std::string& error);

// How running a program for its output ended.
enum class ChildEnd { Exited, CantStart, TimedOut, TooLong };
struct ChildOutput {
    ChildEnd end = ChildEnd::CantStart;
    uint32_t exitCode = 0;  // when it exited
    uint32_t error = 0;     // the system's error when it couldn't start
    std::string output;     // what it wrote, at most maxBytes
};
// Runs "\"program\" arguments" hidden, with its standard output into a pipe
// (one run at a time, so the pipe reaches only its own child), reading what
// it writes until it ends. A child
// still running after timeoutMs, or writing more than maxBytes, is ended and
// waited for; nothing it started is left waiting on the caller.
ChildOutput RunForOutput(const std::string& program, const std::string& arguments, uint32_t timeoutMs,
                         size_t maxBytes);
// Writes to the program's standard output; false when it has none or the write fails.
bool WriteStandardOutput(const std::string& bytes);

}  // namespace platform::sys

namespace platform::proc {

using ProcessHandle = sec::ProcessHandle;

// At most this many ids come back from one enumeration (a 16 KiB buffer).
constexpr size_t MaxProcessIds = 4096;
// nullopt when the enumeration fails.
std::optional<std::vector<uint32_t>> EnumerateProcessIds();

// What a snapshot records of one process.
struct ProcessFacts {
    uintptr_t handle = 0;       // the handle it was queried through, already closed
    std::string imagePath;      // as the system gives it; empty when unreadable
    double startTime = 0;       // local date-time; 0 for a zero creation time
    uint32_t timesError = 0;    // non-zero when the process times couldn't be read
    uint32_t sessionId = 0;
};
// nullopt when the process can't be opened for query; openError holds why.
std::optional<ProcessFacts> QueryProcess(uint32_t pid, uint32_t& openError);
// The start of a process only, through the same opening as QueryProcess:
// what a later snapshot needs to tell a process it has described before.
struct ProcessStart {
    double startTime = 0;       // as QueryProcess gives it
    uint32_t timesError = 0;
};
std::optional<ProcessStart> QueryProcessStart(uint32_t pid, uint32_t& openError);
// How QueryProcess reads an image path on this system: the full-image-name
// query (Vista and later, the process opened for limited query only) or the
// file name of its first module (earlier Windows).
enum class ImagePathQuery { FullImageName, FirstModule };
ImagePathQuery ImagePathQueryInUse();

// Opens a process with all access rights; 0 when it can't.
ProcessHandle OpenProcessAllAccess(uint32_t pid);
void CloseProcess(ProcessHandle process);
// "domain\account" of the token's user. Raises SystemError when the token
// can't be read or its user has no account name.
std::string TokenUserAccount(sec::TokenHandle token);

// Enables or disables one privilege in the agent's own token.
enum class PrivilegeStep { Done, OpenToken, Lookup, Adjust };
struct PrivilegeOutcome {
    PrivilegeStep failedAt = PrivilegeStep::Done;
    uint32_t error = 0;
    bool ok() const { return failedAt == PrivilegeStep::Done; }
};
PrivilegeOutcome SetOwnPrivilege(const std::string& name, bool enable);

// Opens the process for termination only, ends it with exitCode and waits up
// to waitMs for it to go. False when it couldn't be opened or ended.
bool TerminateById(uint32_t pid, uint32_t exitCode, uint32_t waitMs);

// Flags of ExitSystem (the system's exit call).
constexpr uint32_t ExitRebootForceIfHung = 0x12;
constexpr uint32_t ExitPowerOffForce = 0x0C;
bool ExitSystem(uint32_t flags);

// The interactive window station's desktop, where a program started in a
// user's session must be put: left unnamed, a service's child lands on the
// service's own station, which nobody sees.
constexpr const char* InteractiveDesktop = "winsta0\\default";

// The image path of an open process, read as QueryProcess reads it; empty
// when unreadable.
std::string ProcessImagePath(ProcessHandle process);

// How starting a program in another session as a process's user ended.
enum class StartInSessionResult { Started, CantOpenProcess, CantOpenToken, CantDuplicateToken, NotSystemToken, CantStart };
struct SessionStart {
    std::string appPath, commandLine;
    std::string desktop;  // "station\\desktop" it starts on; empty: the caller's
    bool uiAccess = false;  // given only to a LocalSystem token (else NotSystemToken, nothing starts)
    uint32_t waitForEndMs = 0;
};
// Starts appPath with the command line "\"appPath\" commandLine" under a
// primary copy of the token of the open process, shown normally; then waits
// up to waitForEndMs for the program to end. startError holds the system
// error of a failed start.
StartInSessionResult StartAsProcessUser(ProcessHandle process, const SessionStart& start, uint32_t& startError);

}  // namespace platform::proc
