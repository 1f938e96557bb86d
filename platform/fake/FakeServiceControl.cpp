#include "platform/Errors.h"
#include "platform/fake/FakeWorld.h"

namespace platform::scm {

namespace {

using fake::Locked;

fake::FakeService& Find(fake::World& w, const std::string& name) {
    auto it = w.services.find(AsciiLower(name));
    if (it == w.services.end()) ThrowSystemError(1060);
    return it->second;
}

}  // namespace

uint32_t RunDispatcher(const std::vector<DispatchEntry>& table) {
    std::function<uint32_t(const std::vector<DispatchEntry>&)> d;
    {
        Locked w;
        d = w->dispatcher;
        if (!d) return w->dispatcherError;
    }
    return d(table);
}

StatusHandle RegisterControlHandler(const std::string& serviceName, ControlHandler handler) {
    Locked w;
    if (w->registerHandlerFails) ThrowSystemError(1063);
    w->controlHandler = std::move(handler);
    w->controlHandlerName = serviceName;
    return 1;
}

uint32_t SetStatus(StatusHandle, const StatusReport& report) {
    Locked()->statusReports.push_back(report);
    return 0;
}

uint32_t CreateService(const ServiceConfig& config) {
    Locked w;
    if (w->services.count(AsciiLower(config.name))) ThrowSystemError(1073);
    w->services[AsciiLower(config.name)].config = config;
    return config.tagId ? 1 : 0;
}

void DeleteService(const std::string& name) {
    Locked w;
    Find(*w, name);
    w->services.erase(AsciiLower(name));
}

void SetDescription(const std::string& name, const std::string& description) {
    Locked w;
    Find(*w, name).description = description;
}

void SetFailureActions(const std::string& name, uint32_t resetPeriodSec, const std::vector<FailureAction>& actions) {
    Locked w;
    auto& s = Find(*w, name);
    s.resetPeriod = resetPeriodSec;
    s.failureActions = actions;
}

void SetStartType(const std::string& name, uint32_t startType) {
    Locked w;
    Find(*w, name).config.startType = startType;
}

QueriedConfig QueryConfig(const std::string& name) {
    Locked w;
    auto& s = Find(*w, name);
    QueriedConfig q;
    q.serviceType = s.config.serviceType;
    q.startType = s.config.startType;
    q.errorControl = s.config.errorControl;
    q.binaryPath = s.config.binaryPath;
    q.displayName = s.config.displayName;
    q.account = s.config.account.empty() ? "LocalSystem" : s.config.account;
    return q;
}

std::string QueryDescription(const std::string& name) {
    Locked w;
    return Find(*w, name).description;
}

std::vector<FailureAction> QueryFailureActions(const std::string& name, uint32_t* resetPeriodSec) {
    Locked w;
    auto& s = Find(*w, name);
    if (resetPeriodSec) *resetPeriodSec = s.resetPeriod;
    return s.failureActions;
}

bool CanOpenForQuery(const std::string& name) { return Locked()->services.count(AsciiLower(name)) != 0; }

std::optional<ServiceState> QueryState(const std::string& name) {
    Locked w;
    auto it = w->services.find(AsciiLower(name));
    if (it == w->services.end()) return std::nullopt;
    auto& s = it->second;
    if (!s.script.empty()) {
        s.state = s.script.front();
        s.script.erase(s.script.begin());
    }
    return s.state;
}

bool Start(const std::string& name) {
    Locked w;
    auto it = w->services.find(AsciiLower(name));
    if (it == w->services.end() || it->second.startFails || it->second.state.currentState != StateStopped) return false;
    it->second.state.currentState = StateStartPending;
    return true;
}

bool ControlStop(const std::string& name) {
    Locked w;
    auto it = w->services.find(AsciiLower(name));
    if (it == w->services.end() || it->second.state.currentState == StateStopped) return false;
    it->second.state.currentState = StateStopPending;
    return true;
}

}  // namespace platform::scm
