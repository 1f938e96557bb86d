#include "common/ChildJob.h"

#include <map>
#include <mutex>

#include "common/Logger.h"
#include "platform/Errors.h"
#include "platform/Processes.h"

namespace qz {

namespace {

struct Jobs {
    std::mutex lock;
    std::map<std::string, TChildJobs::Job> jobs;
    std::string program;
};

Jobs& State() {
    static Jobs* jobs = new Jobs;  // jobs may run while the process ends
    return *jobs;
}

// The child's records: "<kind><level> <length>\n<bytes>", kind L (a log line),
// R (the result) or E (the job raised).
void AppendRecord(std::string& out, char kind, int32_t level, const std::string& text) {
    out += kind;
    out += std::to_string(level) + " " + std::to_string(text.size()) + "\n";
    out += text;
}

struct ChildRecords {
    std::mutex lock;
    std::string out;
};

ChildRecords& Records() {
    static ChildRecords* records = new ChildRecords;
    return *records;
}

void Record(int32_t level, const std::string& message) {
    ChildRecords& r = Records();
    std::lock_guard<std::mutex> hold(r.lock);
    AppendRecord(r.out, 'L', level, message);
}

struct Parsed {
    std::optional<std::string> result, error;
};

// Replays the log lines as they come; a damaged record ends the reading.
Parsed Replay(const std::string& in) {
    Parsed parsed;
    size_t at = 0;
    while (at < in.size()) {
        const char kind = in[at];
        const size_t space = in.find(' ', at);
        const size_t eol = in.find('\n', at);
        if (space == std::string::npos || eol == std::string::npos || space > eol) break;
        int32_t level = 0;
        size_t length = 0;
        try {
            level = std::stoi(in.substr(at + 1, space - at - 1));
            length = std::stoul(in.substr(space + 1, eol - space - 1));
        } catch (const std::exception&) {
            break;
        }
        if (length > in.size() - eol - 1) break;
        std::string text = in.substr(eol + 1, length);
        at = eol + 1 + length;
        if (kind == 'L')
            TLogger::LogMessage(level, text);
        else if (kind == 'R')
            parsed.result = std::move(text);
        else if (kind == 'E')
            parsed.error = std::move(text);
        else
            break;
    }
    return parsed;
}

}  // namespace

void TChildJobs::Register(const std::string& name, Job job) {
    Jobs& s = State();
    std::lock_guard<std::mutex> hold(s.lock);
    s.jobs[name] = std::move(job);
}

void TChildJobs::SetProgram(const std::string& program) {
    Jobs& s = State();
    std::lock_guard<std::mutex> hold(s.lock);
    s.program = program;
}

std::string TChildJobs::Arguments(const std::string& name, int32_t logLevel) {
    return std::string(Switch) + " " + name + " " + std::to_string(logLevel);
}

std::optional<std::string> TChildJobs::Call(const std::string& name) {
    Job job;
    std::string program;
    {
        Jobs& s = State();
        std::lock_guard<std::mutex> hold(s.lock);
        const auto it = s.jobs.find(name);
        if (it == s.jobs.end()) throw std::logic_error("No child job " + name);
        job = it->second;
        program = s.program;
    }
    if (program.empty()) return job();
    const platform::sys::ChildOutput run =
        platform::sys::RunForOutput(program, Arguments(name, TLogger::GetMainLevel()), TimeoutMs, MaxBytes);
    const std::string what = "The child for " + name;
    switch (run.end) {
        case platform::sys::ChildEnd::CantStart:
            TLogger::Warning(what + " could not start - " + platform::SystemErrorText(run.error));
            return std::nullopt;
        case platform::sys::ChildEnd::TimedOut:
            Replay(run.output);
            TLogger::Warning(what + " ran longer than " + std::to_string(TimeoutMs / 1000) + " s and was ended");
            return std::nullopt;
        case platform::sys::ChildEnd::TooLong:
            Replay(run.output);
            TLogger::Warning(what + " wrote more than " + std::to_string(MaxBytes) + " bytes and was ended");
            return std::nullopt;
        case platform::sys::ChildEnd::Exited:
            break;
    }
    Parsed parsed = Replay(run.output);
    if (parsed.error) throw std::runtime_error(*parsed.error);
    if (parsed.result && run.exitCode == 0) return parsed.result;
    TLogger::Warning(what + " ended with code " + std::to_string(run.exitCode) + " without a result");
    return std::nullopt;
}

int TChildJobs::RunChild(const std::string& name, int32_t logLevel) {
    Job job;
    {
        Jobs& s = State();
        std::lock_guard<std::mutex> hold(s.lock);
        const auto it = s.jobs.find(name);
        if (it != s.jobs.end()) job = it->second;
    }
    if (!job) return 2;
    const int32_t level = TLogger::GetMainLevel();
    TLogger::SetMainLevel(logLevel);
    TLogger::SetRecordHook(&Record);
    int code = 0;
    std::string last;
    try {
        AppendRecord(last, 'R', 0, job());
    } catch (const std::exception& e) {
        AppendRecord(last, 'E', 0, e.what());
    } catch (...) {
        AppendRecord(last, 'E', 0, "unknown error");
    }
    TLogger::SetRecordHook(nullptr);
    TLogger::SetMainLevel(level);
    std::string out;
    {
        ChildRecords& r = Records();
        std::lock_guard<std::mutex> hold(r.lock);
        out.swap(r.out);
    }
    if (!platform::sys::WriteStandardOutput(out + last)) code = 3;
    return code;
}

}  // namespace qz
