#pragma once
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "monitor/ProcessInfo.h"
#include "platform/Processes.h"

namespace qz {

// Base of what the version cache holds.
class TMyObject {
public:
    virtual ~TMyObject() = default;
    virtual std::string ToString() const { return std::string(); }
};

// The version strings of one image file.
class TFileVersionInfo : public TMyObject {
public:
    std::string FileType;  // the shell's type name; read only when the log takes Finer lines
    std::string CompanyName;
    std::string FileDescription;
    std::string FileVersion;
    std::string ToString() const override {
        return FileType + "|" + FileDescription + "|" + FileVersion + "|" + CompanyName;
    }
};

// A bounded, thread-safe map from keys (letter case aside) to values. An
// insertion into a table holding more than its bound empties it first.
class TStringHashTable {
public:
    explicit TStringHashTable(size_t AMaxSize) : _maxSize(AMaxSize) {}
    void Add(const std::string& str, std::shared_ptr<const TMyObject> obj);
    // The value under the key, or null. Shared: another thread's Add may drop it from the table meanwhile.
    std::shared_ptr<const TMyObject> GetData(const std::string& Value);
    void Clear();
    size_t GetSize();
    // One "key - value" line per entry, in insertion order, each ended by LF CR.
    std::string ToString();

private:
    std::mutex _cs;
    std::vector<std::shared_ptr<const TMyObject>> _list;
    std::vector<std::string> _sl;                       // lower-case keys, insertion order
    std::unordered_map<std::string, size_t> _index;     // key -> position
    const size_t _maxSize;
};

using TProcessList = std::vector<TProcessInfo>;

// Process snapshots and the operations on them. No state of its own but the
// process-wide version cache.
class TBeholder {
public:
    static constexpr size_t VersionCacheMax = 300;

    // Every process of every session but ids 0 to 10; processes that can't be
    // opened are left out. Empty when the enumeration fails. A process the
    // previous snapshot described, found with the same start, keeps its facts
    // (only its start is read again).
    static TProcessList GetProcessList();
    // The version strings of an image, from the cache or read and cached;
    // nothing for an empty path.
    static std::optional<TFileVersionInfo> GetFileVersion(const std::string& AFilePath,
                                                          const std::string& ACacheString);
    static size_t GetVersionCacheSize();
    static TStringHashTable& VersionCache();
    // The configured Windows shell, or empty.
    static std::string GetShellProcessName();
    // The first shell process of the list opened with all access, or 0; the caller closes it.
    static platform::proc::ProcessHandle GetShellHandle(const TProcessList& ProcessList);
    // "domain\account" running the shell, or empty when there is no shell
    // process. Raises SystemError when its token can't be read.
    static std::string GetInteractiveUsername(const TProcessList& ProcessList);
    static bool ProcessTerminate(uint32_t dwPID);
    // Tests only: the next snapshot enables the debug privilege again.
    static void ForgetDebugPrivilege();
    // Tests only: the next snapshot describes every process afresh.
    static void ForgetDescribedProcesses();
    // Sorts the list by id and writes it to the log.
    static void printProcesses(TProcessList& processes);
    static void printVersionCache();

    // "\??\" dropped, a leading "\SystemRoot" made the Windows folder.
    static std::string NormalisePath(const std::string& path);
    // Process id and start time: one cache entry per process instance.
    static std::string CacheString(uint32_t pid, double startTime);
};

}  // namespace qz
