#pragma once
// Work that would leave libraries in the agent for good (the management
// instrumentation and COM, which Wine never unloads) runs in a short-lived
// copy of the agent's own program, started with a private switch. The child
// runs one named job and hands back its log lines and its result through a
// pipe; the agent replays the lines into its own log.
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>

namespace qz {

class TChildJobs {
public:
    // A job's result text; it may raise, and the caller then gets the same message.
    using Job = std::function<std::string()>;

    static constexpr const char* Switch = "/qz-child";
    // A child that runs longer, or writes more, is ended.
    static constexpr uint32_t TimeoutMs = 20000;
    static constexpr size_t MaxBytes = 64 * 1024;

    // Names a job; done once at start-up, before anything calls it.
    static void Register(const std::string& name, Job job);
    // Jobs run in children of this program from now on; empty: in this process.
    static void SetProgram(const std::string& program);

    // Runs a job: its result; std::runtime_error with the job's message when
    // the job raised; nullopt, logged, when its child failed (couldn't start,
    // ran too long, wrote too much, ended without a result).
    static std::optional<std::string> Call(const std::string& name);

    // The child's side: runs the job with the log at level, writes its lines
    // and result to the standard output. Returns the program's exit code.
    static int RunChild(const std::string& name, int32_t logLevel);

    // The child's arguments for a job.
    static std::string Arguments(const std::string& name, int32_t logLevel);
};

}  // namespace qz
