// Cost of one process snapshot on the real system with a warm version cache
// (what the metering thread pays every period), beside the bare enumeration
// of process ids in the same run. Run under wine64 for the processes a fresh
// prefix runs.
#include <chrono>
#include <cstdio>
#include <functional>

#include "bench/BenchSupport.h"
#include "common/Logger.h"
#include "monitor/Beholder.h"
#include "platform/Processes.h"

using namespace qz;
using qzbench::MeanMicros;
using Clock = std::chrono::steady_clock;

int main() {
    std::puts("qz-test-started");
    TLogger::SetMainLevel(logInfo);
    const auto cold0 = Clock::now();
    const size_t count = TBeholder::GetProcessList().size();
    const double cold = std::chrono::duration<double, std::micro>(Clock::now() - cold0).count();
    const double warm = MeanMicros(50, [] { TBeholder::GetProcessList(); }, 3);
    const double ids = MeanMicros(50, [] { platform::proc::EnumerateProcessIds(); }, 3);
    std::printf("processes in the snapshot: %zu, version cache entries: %zu\n", count, TBeholder::GetVersionCacheSize());
    std::printf("first snapshot (cold cache):   %9.1f us\n", cold);
    std::printf("snapshot with a warm cache:    %9.1f us (%.1f us a process)\n", warm, warm / (count ? count : 1));
    std::printf("process id enumeration alone:  %9.1f us (ratio snapshot/enumeration %.1f)\n", ids, warm / ids);
    // Where a snapshot's time goes: the privilege it enables, and the facts of each process.
    const double privilege = MeanMicros(50, [] { platform::proc::SetOwnPrivilege("SeDebugPrivilege", true); }, 3);
    const auto all = platform::proc::EnumerateProcessIds();
    const double facts = MeanMicros(50, [&] {
        uint32_t error = 0;
        for (const uint32_t pid : *all)
            if (pid > 10) platform::proc::QueryProcess(pid, error);
    }, 3);
    const double starts = MeanMicros(50, [&] {
        uint32_t error = 0;
        for (const uint32_t pid : *all)
            if (pid > 10) platform::proc::QueryProcessStart(pid, error);
    }, 3);
    std::printf("the debug privilege enabled:   %9.1f us\n", privilege);
    std::printf("every process's facts:         %9.1f us\n", facts);
    std::printf("every process's start alone:   %9.1f us (what a known process costs a snapshot)\n", starts);
    return 0;
}
