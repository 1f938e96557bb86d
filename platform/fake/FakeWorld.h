#pragma once
// Control surface of the in-memory platform: tests stage a world here. Each
// facility keeps its own piece; the world is all of them behind one lock.
#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/AsciiCase.h"
#include "platform/FileSystem.h"
#include "platform/Hardware.h"
#include "platform/Network.h"
#include "platform/Registry.h"
#include "platform/Screen.h"
#include "platform/ServiceControl.h"
#include "platform/Sessions.h"
#include "platform/SystemInfo.h"

namespace platform::fake {

struct RegistryWorld {
    // "<hive>|<view>|<lower-case path>" -> lower-case value name -> (name, value)
    std::map<std::string, std::map<std::string, std::pair<std::string, reg::Value>>> keys;
    std::map<std::string, std::string> keyNames;  // key id -> its last name as first written
    std::vector<std::string> securedKeys;         // key ids given the protected list
    bool registryReadOnly = false;
};

struct NetworkWorld {
    std::optional<std::vector<net::AdapterAddress>> adapterAddresses = std::vector<net::AdapterAddress>{};
    std::vector<std::optional<std::vector<uint8_t>>> netbiosStatuses;
    std::map<std::string, std::vector<uint8_t>> bestInterface;  // IPv4 -> hardware address
    int lastSocketError = 0;
};

struct FakeService {
    scm::ServiceConfig config;
    std::string description;
    uint32_t resetPeriod = 0;
    std::vector<scm::FailureAction> failureActions;
    scm::ServiceState state{scm::StateStopped, 0, 0, 0};
    // Scripted states returned by the next queries, front first.
    std::vector<scm::ServiceState> script;
    bool startFails = false;
};

struct ServiceControlWorld {
    std::map<std::string, FakeService> services;  // lower-case name
    std::vector<scm::StatusReport> statusReports;
    uint32_t dispatcherError = 1063;  // what RunDispatcher answers when no script is set
    std::function<uint32_t(const std::vector<scm::DispatchEntry>&)> dispatcher;
    scm::ControlHandler controlHandler;
    std::string controlHandlerName;
    bool registerHandlerFails = false;
};

struct EventRecord {
    std::string source;
    uint16_t type;
    uint32_t id;
    std::string text;
};

struct EventLogWorld {
    std::vector<EventRecord> events;
};

struct ClockWorld {
    std::optional<double> now;          // fixed local time; real time when empty
    uint64_t virtualTicks = 0;
    bool virtualSleep = false;          // SleepMs advances time instead of sleeping
};

struct SystemInfoWorld {
    std::string modulePath = "C:\\Program Files\\Tallisto\\QZService.exe";
    std::string computerName = "LAB-07";
    std::string commonAppData;          // set by Reset to a temp folder
    std::string systemDir = "C:\\Windows\\system32";
    sys::OsVersion version{10, 0, 19045};
    uint16_t nativeArch = sys::ProcessorArchitectureAmd64;
    std::map<std::string, std::string> rcData;  // the program's raw-data resources by name
};

struct FileSystemWorld {
    std::map<std::string, files::Others> securedFolders;  // lower-case path -> who else may read
    // Files made by NewFile or secured, and the list they got (lower-case path).
    std::map<std::string, files::Others> fileLists;
    // Folders and files another user owns, whose list denies SYSTEM and the
    // administrators the right to change it (lower-case path): true when
    // taking ownership with the privileges enabled wins them back, false
    // when nothing does.
    std::map<std::string, bool> foreignOwned;
    // Fault injection: a write fails with a full disk once this many bytes went out.
    std::optional<size_t> diskFullAfterBytes;
    int replaceFailures = 0;  // the next MoveOver calls that fail
};

struct FileVersionWorld {
    std::map<std::string, std::map<std::string, std::string>> versionStrings;  // file -> name -> text
    std::map<std::string, std::string> fileTypes;  // file -> shell type name
    std::set<std::string> executables;             // files the shell calls executables
    int versionReads = 0;                          // TranslatedVersionStrings calls
};

struct FakeProcess {
    uint32_t pid = 0;
    uint32_t sessionId = 1;
    std::string path;
    double startTime = 0;
    bool openable = true;       // false: gone between enumeration and opening
    uint32_t timesError = 0;    // non-zero: the times can't be read
    std::string tokenUser;      // "domain\account"; empty: the token can't be read
    std::string tokenSid;       // its user's SID ("S-1-5-18" the system account)
    bool tokenIsAdmin = false;
    bool terminable = true;
};

// What a program run for its output does in the fake world.
struct FakeChildRun {
    std::string output;     // what it writes
    uint32_t exitCode = 0;
    bool hangs = false;     // it never ends by itself: the run times out
};

struct ProcessesWorld {
    // Programs RunForOutput can start, by lower-case path; the function runs
    // (unlocked) on the caller's thread and gets the arguments.
    std::map<std::string, std::function<FakeChildRun(const std::string&)>> childPrograms;
    std::vector<std::string> childRuns;  // "program arguments" of each run
    std::string standardOutput;          // what WriteStandardOutput wrote
    bool standardOutputFails = false;
    std::vector<std::string> startedProcesses;
    bool startHiddenFails = false;
    bool startProgramFails = false;  // StartProgram answers "file not found"
    std::vector<FakeProcess> processes;
    bool enumerateProcessesFails = false;
    int processQueries = 0;                // QueryProcess calls that found the process
    std::function<void()> afterEnumerate;  // runs (unlocked) after each id enumeration
    std::vector<uint32_t> terminated;      // ids ended, in order; they leave `processes`
    std::set<std::string> missingPrivileges;
    std::vector<std::pair<std::string, bool>> privilegeChanges;
    std::vector<uint32_t> exitWindowsCalls;
    struct StartedAsUser {
        uint32_t logonPid;
        std::string app, commandLine;
        std::string desktop;   // as the start named it
        bool uiAccess;         // set on the copy of the token whose user is tokenSid
        std::string tokenSid;
    };
    std::vector<StartedAsUser> startedAsUser;
    bool startAsUserFails = false;
    std::map<uintptr_t, uint32_t> processHandles;  // open handle -> pid
};

struct ConsoleWorld {
    std::vector<std::string> messages;  // ShowMessage texts, "E:" or "I:" first
    std::function<bool(uint32_t)> consoleHandler;
};

struct AccountsWorld {
    std::map<std::string, std::string> localFullNames;  // lower-case local account -> full name
};

struct FakeSession {
    wts::SessionEntry entry;
    std::optional<std::string> user, domain, client;
    bool hasToken = true;
    bool tokenIsAdmin = false;
    std::optional<uint16_t> protocolType;
    std::optional<std::string> winStationName;
};

struct SessionsWorld {
    std::vector<FakeSession> sessions;
    bool enumerateFails = false;
    bool logoffFails = false;
    std::vector<uint32_t> loggedOff;  // sessions asked to log off
    struct SentMessage {
        uint32_t sessionId;
        std::string title, text;
        uint32_t style;
    };
    std::vector<SentMessage> sessionMessages;  // message boxes put up
};

struct SecurityWorld {
    std::map<uintptr_t, bool> tokens;   // open tokens -> is admin
    std::map<uintptr_t, std::string> tokenUsers;  // open tokens -> "domain\\account"
    std::map<uintptr_t, std::string> tokenSids;   // open tokens -> their user's SID
    std::map<std::string, std::string> accountSids;  // lower-case account name -> SID text
    // The caller's own token: whether it is an administrator's; none when unset.
    std::optional<bool> currentTokenIsAdmin;
};

struct WmiWorld {
    // "namespace|query" -> the rows it answers; an unstaged query fails.
    std::map<std::string, std::vector<std::map<std::string, std::string>>> wmiTables;
};

struct LibraryWorld {
    // "library path|entry" -> what the entry answers; absent: no such library or entry.
    std::map<std::string, bool> libraryEntries;
};

struct FakeDrive {
    uint32_t type = hw::DriveFixed;
    std::optional<hw::VolumeFacts> volume;
    std::optional<hw::SpaceFacts> space;
};

struct HardwareWorld {
    std::string cpuBrand = std::string("Fake CPU @ 3.00GHz") + std::string(30, '\0');
    uint32_t cpuMhz = 3000;             // the counter runs this fast against the clock's ticks
    uint64_t physicalMemory = 8ull << 30;
    std::map<char, FakeDrive> drives;   // lower-case letter
    int realTimeBoosts = 0;             // boosts under way
    int realTimeBoostsTaken = 0;
};

struct ScreenWorld {
    screen::Bitmap desktop;              // what a capture reads
    bool captureFails = false;
    screen::Size primary{1024, 768};
    int captureCount = 0;
};

struct FirewallWorld {
    struct Rule {
        std::string name, description, applicationName, interfaceTypes;
        int32_t action = 0;
        bool enabled = false;
    };
    std::vector<Rule> firewallRules;
    bool firewallUnavailable = false;   // no service: every call fails
    bool firewallAddFails = false;
    int firewallRemoveFailsAfter = -1;  // removals that succeed before the rest fail; -1: none fail
};

struct NamedEventsWorld {
    bool createEventFails = false;  // as when another program holds the name
    std::map<std::string, bool> namedEvents;
    std::vector<std::string> pulsedEvents;  // events of other programs pulsed
    std::map<uintptr_t, std::string> eventHandles;
};

struct WorldData : RegistryWorld,
                   NetworkWorld,
                   ServiceControlWorld,
                   EventLogWorld,
                   ClockWorld,
                   SystemInfoWorld,
                   FileSystemWorld,
                   FileVersionWorld,
                   ProcessesWorld,
                   ConsoleWorld,
                   AccountsWorld,
                   SessionsWorld,
                   SecurityWorld,
                   NamedEventsWorld,
                   WmiWorld,
                   LibraryWorld,
                   HardwareWorld,
                   ScreenWorld,
                   FirewallWorld {
    uintptr_t nextHandle = 100;         // shared by every kind of handle
};

struct World : WorldData {
    std::recursive_mutex lock;
};

World& W();
// Empties the world and points the common data folder at a fresh temp folder.
void Reset();

// Holds the world's lock for one call.
class Locked {
public:
    Locked() : lock_(W().lock) {}
    World* operator->() { return &W(); }
    World& operator*() { return W(); }

private:
    std::lock_guard<std::recursive_mutex> lock_;
};

}  // namespace platform::fake
