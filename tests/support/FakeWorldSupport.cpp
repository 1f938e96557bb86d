// What only tests on the fake platform use, apart from the rest of the
// support, so programs on the real platform can link that rest.
#include "tests/support/TestSupport.h"

namespace qztest {

void PlatformTest::SetUp() {
    platform::fake::Reset();
    qz::TLogger::ResetForTests();
    log = std::make_unique<MemoryHandler>();
}

void PlatformTest::TearDown() {
    qz::TLogger::ResetForTests();
    log.reset();
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
