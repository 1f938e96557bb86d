#pragma once
#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <pugixml.hpp>

#include "common/Logger.h"
#include "platform/fake/FakeWorld.h"

namespace qztest {

// Whether the tests run on Windows (under wine64) rather than natively.
constexpr bool kHostIsWindows = QZ_HOST_WINDOWS;

// Collects log lines without their time stamps.
class MemoryHandler : public qz::TLoggerHandler {
public:
    explicit MemoryHandler(int32_t level = qz::logFinest) : TLoggerHandler(level) { SetActive(true); }
    void Notify(const std::string& message) override;
    std::vector<std::string> Lines();
    bool Has(const std::string& line);
    // Index of the first line equal to `line` at or after `from`, or -1.
    int Find(const std::string& line, int from = 0);

private:
    std::mutex m_;
    std::vector<std::string> lines_;
};

// A clean fake world and logger for each test.
class PlatformTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
    platform::fake::World& W() { return platform::fake::W(); }
    std::unique_ptr<MemoryHandler> log;
};

// A node as unindented XML text.
std::string Xml(const pugi::xml_node& node);

// The agent's program in the fake world, running child jobs in this process
// (its output as the child's), and child jobs sent to it from now on.
void StageAgentChild(const std::string& program = "C:\\Agent\\QZService.exe");

// A process in the fake world; the reference stays good until the next one is staged.
platform::fake::FakeProcess& StageProcess(uint32_t pid, const std::string& path, uint32_t session, double startTime);

// Sends raw bytes to a loopback port and reads until the server closes:
// what came back (empty when the connection was refused or closed silently).
std::string RawExchange(uint16_t port, const std::string& request, uint32_t timeoutMs = 10000);
// The status code and body of a raw HTTP response; status 0 when there is none.
struct RawResponse {
    int status = 0;
    std::string body;
};
RawResponse ParseRawResponse(const std::string& raw);

// Polls until pred holds or the time runs out.
bool WaitUntil(const std::function<bool()>& pred, int timeoutMs = 5000);

}  // namespace qztest
