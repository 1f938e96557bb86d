// What only tests on the fake platform use, apart from the rest of the
// support, so programs on the real platform can link that rest.
#include "tests/support/TestSupport.h"

#include <cctype>
#include <sstream>

#include "common/ChildJob.h"

namespace qztest {

void PlatformTest::SetUp() {
    platform::fake::Reset();
    qz::TLogger::ResetForTests();
    qz::TChildJobs::SetProgram("");
    log = std::make_unique<MemoryHandler>();
}

void PlatformTest::TearDown() {
    qz::TChildJobs::SetProgram("");
    qz::TLogger::ResetForTests();
    log.reset();
}

void StageAgentChild(const std::string& program) {
    std::string key = program;
    for (auto& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    platform::fake::W().childPrograms[key] = [](const std::string& arguments) {
        std::vector<std::string> args;
        std::istringstream words(arguments);
        for (std::string word; words >> word;) args.push_back(word);
        platform::fake::FakeChildRun run;
        if (args.size() != 3 || args[0] != qz::TChildJobs::Switch) {
            run.exitCode = 87;
            return run;
        }
        run.exitCode = static_cast<uint32_t>(qz::TChildJobs::RunChild(args[1], std::stoi(args[2])));
        platform::fake::Locked w;
        run.output.swap(w->standardOutput);
        return run;
    };
    qz::TChildJobs::SetProgram(program);
}

platform::fake::FakeProcess& StageProcess(uint32_t pid, const std::string& path, uint32_t session, double startTime) {
    platform::fake::FakeProcess p;
    p.pid = pid;
    p.path = path;
    p.sessionId = session;
    p.startTime = startTime;
    auto& processes = platform::fake::W().processes;
    processes.push_back(p);
    return processes.back();
}

}  // namespace qztest
