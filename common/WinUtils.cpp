#include "common/WinUtils.h"

#include <algorithm>

#include "platform/ServiceControl.h"
#include "platform/Clock.h"
#include "platform/SystemInfo.h"

namespace qz {

std::string TWinUtils::GetComputerNetName() { return platform::sys::ComputerNetName(); }
std::string TWinUtils::GetSystemDir() { return platform::sys::SystemDir(); }
std::string TWinUtils::GetWinDir() { return platform::sys::WindowsDir(); }

bool TWinUtils::IsAdmin(platform::sec::ProcessHandle shellHandle) {
    const auto token = platform::sec::OpenProcessTokenForQuery(shellHandle);
    if (!token) return false;
    return IsAdminByToken(token);
}

bool TWinUtils::IsAdmin() {
    const auto token = platform::sec::OpenCurrentTokenForQuery();
    if (!token) return false;
    const bool admin = platform::sec::TokenIsAdmin(token, 0);
    platform::sec::CloseToken(token);
    return admin;
}

bool TWinUtils::IsAdminByToken(platform::sec::TokenHandle token) {
    bool admin = false;
    try {
        admin = platform::sec::TokenIsAdmin(token, GroupBufferSize);
    } catch (...) {
        admin = false;
    }
    platform::sec::CloseToken(token);
    return admin;
}

std::string TWinUtils::GetUserSIDStr(const std::string& /*systemName*/, const std::string& accountName) {
    return platform::sec::AccountSidString(accountName);
}

// The machine name is accepted for the callers' sake; only the local manager is used.
bool TServiceUtils::IsServiceInstalled(const std::string& name, const std::string&) {
    return platform::scm::CanOpenForQuery(name);
}

uint32_t TServiceUtils::ServiceGetStatus(const std::string& name, const std::string&) {
    auto st = platform::scm::QueryState(name);
    return st ? st->currentState : platform::scm::StateStopped;
}

namespace {
constexpr uint32_t kStopped = platform::scm::StateStopped, kStartPending = platform::scm::StateStartPending,
                   kRunning = platform::scm::StateRunning;

// Waits while `pending` holds, pausing by the wait hint within [minPause, 2000] ms;
// stops when a query fails, the check point goes down or the overall limit passes.
uint32_t WaitWhile(const std::string& name, platform::scm::ServiceState st, uint32_t minPause,
                   bool (*pending)(uint32_t)) {
    const uint64_t start = platform::sys::TickCountMs();
    while (pending(st.currentState)) {
        const uint32_t oldCheckPoint = st.checkPoint;
        const uint32_t pause = std::clamp<uint32_t>(st.waitHint, minPause, 2000);
        platform::sys::SleepMs(pause);
        auto next = platform::scm::QueryState(name);
        if (!next) break;
        st = *next;
        if (st.checkPoint < oldCheckPoint) break;
        if (platform::sys::TickCountMs() - start >= TServiceUtils::OverallLimitMs) break;
    }
    return st.currentState;
}
}  // namespace

bool TServiceUtils::ServiceStart(const std::string& name, const std::string&) {
    if (!platform::scm::Start(name)) return false;
    auto st = platform::scm::QueryState(name);
    if (!st) return false;
    return WaitWhile(name, *st, 0, [](uint32_t s) { return s == kStartPending; }) == kRunning;
}

bool TServiceUtils::ServiceStop(const std::string& name, const std::string&) {
    if (!platform::scm::ControlStop(name)) return false;
    auto st = platform::scm::QueryState(name);
    if (!st) return false;
    return WaitWhile(name, *st, 200, [](uint32_t s) { return s != kStopped; }) == kStopped;
}

}  // namespace qz
