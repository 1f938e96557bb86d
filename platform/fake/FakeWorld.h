#pragma once
// Control surface of the in-memory platform: tests stage a world here.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Network.h"
#include "platform/Registry.h"
#include "platform/ServiceControl.h"
#include "platform/Sessions.h"
#include "platform/System.h"

namespace platform::fake {

struct FakeService {
    scm::ServiceConfig config;
    std::string description;
    uint32_t resetPeriod = 0;
    std::vector<scm::FailureAction> failureActions;
    scm::ServiceState state{1, 0, 0, 0};
    // Scripted states returned by the next queries, front first.
    std::vector<scm::ServiceState> script;
    bool startFails = false;
};

struct FakeSession {
    wts::SessionEntry entry;
    std::optional<std::string> user, domain, client;
    bool hasToken = true;
    bool tokenIsAdmin = false;
};

struct EventRecord {
    std::string source;
    uint16_t type;
    uint32_t id;
    std::string text;
};

struct WorldData {
    // registry: "<hive>|<view>|<lower-case path>" -> lower-case value name -> (name, value)
    std::map<std::string, std::map<std::string, std::pair<std::string, reg::Value>>> keys;
    bool registryReadOnly = false;
    // network adapters
    std::optional<std::vector<net::AdapterAddress>> adapterAddresses = std::vector<net::AdapterAddress>{};
    std::vector<std::optional<std::vector<uint8_t>>> netbiosStatuses;
    std::map<std::string, std::vector<uint8_t>> bestInterface;  // IPv4 -> hardware address
    int lastSocketError = 0;

    std::map<std::string, FakeService> services;  // lower-case name
    std::vector<scm::StatusReport> statusReports;
    uint32_t dispatcherError = 1063;  // what RunDispatcher answers when no script is set
    std::function<uint32_t(const std::vector<scm::DispatchEntry>&)> dispatcher;
    scm::ControlHandler controlHandler;
    std::string controlHandlerName;
    bool registerHandlerFails = false;

    std::vector<EventRecord> events;
    std::vector<std::string> startedProcesses;
    std::vector<std::string> messages;  // ShowMessage texts, "E:" or "I:" first

    std::optional<double> now;          // fixed local time; real time when empty
    uint64_t virtualTicks = 0;
    bool virtualSleep = false;          // SleepMs advances time instead of sleeping

    std::string modulePath = "C:\\Program Files\\Tallisto\\QZService.exe";
    std::string computerName = "LAB-07";
    std::string commonAppData;          // set by Reset to a temp folder
    sys::OsVersion version{10, 0, 19045};
    uint16_t nativeArch = 9;
    std::map<std::string, std::map<std::string, std::string>> versionStrings;  // file -> name -> text
    std::map<std::string, std::string> localFullNames;  // lower-case local account -> full name

    std::vector<FakeSession> sessions;
    bool enumerateFails = false;
    std::map<uintptr_t, bool> tokens;   // open tokens -> is admin
    uintptr_t nextHandle = 100;
    std::map<std::string, bool> namedEvents;
    std::map<uintptr_t, std::string> eventHandles;
    std::function<bool(uint32_t)> consoleHandler;
};

struct World : WorldData {
    std::recursive_mutex lock;
};

World& W();
// Empties the world and points the common data folder at a fresh temp folder.
void Reset();
std::string KeyId(const reg::Key& key);

}  // namespace platform::fake
