#include "platform/Processes.h"

#include <cctype>

#include "platform/Errors.h"
#include "platform/fake/FakeWorld.h"

namespace platform::sys {

bool StartHidden(const std::string& commandLine) {
    fake::Locked w;
    if (w->startHiddenFails) return false;
    w->startedProcesses.push_back(commandLine);
    return true;
}

bool StartProgram(const std::string& commandLine, std::string& error) {
    fake::Locked w;
    if (w->startProgramFails) {
        error = SystemErrorText(2);
        return false;
    }
    w->startedProcesses.push_back(commandLine);
    error.clear();
    return true;
}

ChildOutput RunForOutput(const std::string& program, const std::string& arguments, uint32_t timeoutMs,
                         size_t maxBytes) {
    (void)timeoutMs;
    std::function<fake::FakeChildRun(const std::string&)> run;
    {
        fake::Locked w;
        w->childRuns.push_back(program + " " + arguments);
        std::string key = program;
        for (auto& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const auto it = w->childPrograms.find(key);
        if (it != w->childPrograms.end()) run = it->second;
    }
    ChildOutput out;
    if (!run) {
        out.error = 2;  // file not found
        return out;
    }
    const fake::FakeChildRun child = run(arguments);
    out.output = child.output;
    out.end = child.hangs ? ChildEnd::TimedOut : ChildEnd::Exited;
    out.exitCode = child.hangs ? 1 : child.exitCode;
    if (out.output.size() > maxBytes) {
        out.output.resize(maxBytes);
        out.end = ChildEnd::TooLong;
        out.exitCode = 1;
    }
    return out;
}

bool WriteStandardOutput(const std::string& bytes) {
    fake::Locked w;
    if (w->standardOutputFails) return false;
    w->standardOutput += bytes;
    return true;
}

}  // namespace platform::sys

namespace platform::proc {

using fake::Locked;

namespace {
fake::FakeProcess* Find(fake::World& w, uint32_t pid) {
    for (auto& p : w.processes)
        if (p.pid == pid) return &p;
    return nullptr;
}
}  // namespace

std::optional<std::vector<uint32_t>> EnumerateProcessIds() {
    std::function<void()> after;
    std::vector<uint32_t> ids;
    {
        Locked w;
        if (w->enumerateProcessesFails) return std::nullopt;
        for (const auto& p : w->processes)
            if (ids.size() < MaxProcessIds) ids.push_back(p.pid);
        after = w->afterEnumerate;
    }
    if (after) after();
    return ids;
}

ImagePathQuery ImagePathQueryInUse() {
    return Locked()->version.major >= 6 ? ImagePathQuery::FullImageName : ImagePathQuery::FirstModule;
}

std::optional<ProcessFacts> QueryProcess(uint32_t pid, uint32_t& openError) {
    Locked w;
    const fake::FakeProcess* p = Find(*w, pid);
    if (!p || !p->openable) {
        openError = 87;  // the invalid-parameter answer of a process that is gone
        return std::nullopt;
    }
    ++w->processQueries;
    ProcessFacts facts;
    facts.handle = w->nextHandle++;
    facts.imagePath = p->path;
    facts.timesError = p->timesError;
    facts.startTime = p->timesError ? 0 : p->startTime;
    facts.sessionId = p->sessionId;
    return facts;
}

std::optional<ProcessStart> QueryProcessStart(uint32_t pid, uint32_t& openError) {
    Locked w;
    const fake::FakeProcess* p = Find(*w, pid);
    if (!p || !p->openable) {
        openError = 87;
        return std::nullopt;
    }
    ProcessStart start;
    start.timesError = p->timesError;
    start.startTime = p->timesError ? 0 : p->startTime;
    return start;
}

ProcessHandle OpenProcessAllAccess(uint32_t pid) {
    Locked w;
    const fake::FakeProcess* p = Find(*w, pid);
    if (!p || !p->openable) return 0;
    const uintptr_t h = w->nextHandle++;
    w->processHandles[h] = pid;
    return h;
}

void CloseProcess(ProcessHandle process) { Locked()->processHandles.erase(process); }

std::string TokenUserAccount(sec::TokenHandle token) {
    Locked w;
    auto it = w->tokenUsers.find(token);
    if (it == w->tokenUsers.end() || it->second.empty()) ThrowSystemError(5);
    return it->second;
}

PrivilegeOutcome SetOwnPrivilege(const std::string& name, bool enable) {
    Locked w;
    if (w->missingPrivileges.count(name)) return {PrivilegeStep::Adjust, 1300};
    w->privilegeChanges.emplace_back(name, enable);
    return {};
}

bool TerminateById(uint32_t pid, uint32_t, uint32_t) {
    Locked w;
    fake::FakeProcess* p = Find(*w, pid);
    if (!p || !p->openable || !p->terminable) return false;
    w->terminated.push_back(pid);
    w->processes.erase(w->processes.begin() + (p - w->processes.data()));
    return true;
}

bool ExitSystem(uint32_t flags) {
    Locked()->exitWindowsCalls.push_back(flags);
    return true;
}

std::string ProcessImagePath(ProcessHandle process) {
    Locked w;
    auto h = w->processHandles.find(process);
    const fake::FakeProcess* p = h == w->processHandles.end() ? nullptr : Find(*w, h->second);
    return p ? p->path : std::string();
}

StartInSessionResult StartAsProcessUser(ProcessHandle process, const SessionStart& start, uint32_t& startError) {
    Locked w;
    auto h = w->processHandles.find(process);
    const fake::FakeProcess* p = h == w->processHandles.end() ? nullptr : Find(*w, h->second);
    if (!p) return StartInSessionResult::CantOpenProcess;
    if (start.uiAccess && p->tokenSid != sec::LocalSystemSid) return StartInSessionResult::NotSystemToken;
    if (w->startAsUserFails) {
        startError = 2;
        return StartInSessionResult::CantStart;
    }
    w->startedAsUser.push_back({p->pid, start.appPath, start.commandLine, start.desktop, start.uiAccess, p->tokenSid});
    return StartInSessionResult::Started;
}

}  // namespace platform::proc
