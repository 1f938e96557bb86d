#include "commands/UpdateManager.h"

#include <atomic>
#include <filesystem>

#include "common/Communication.h"
#include "common/Files.h"
#include "common/HttpClient.h"
#include "common/Logger.h"
#include "common/Settings.h"
#include "common/Utils.h"
#include "platform/AsciiCase.h"
#include "platform/CodePage.h"
#include "platform/Errors.h"
#include "platform/FileSystem.h"
#include "platform/Processes.h"
#include "platform/SystemInfo.h"
#include "protocol/GuardEventsInfo.h"
#include "protocol/PingServer.h"

namespace qz {

namespace fs = std::filesystem;

struct TUpdateManager::TUpdateThread {
    std::string FUpdateId, FUpdateFileName;
    std::shared_ptr<THttpTransport> transport;
    std::atomic<bool> stop{false};
    std::atomic<bool> done{false};
    std::thread thread;
};

TUpdateManager::TUpdateManager(const TSettings& settings, TGuardEventsInfo& events, TUpdateHooks hooks)
    : FSettings(settings), FEvents(events), FHooks(std::move(hooks)) {
    if (!FHooks.Launch)
        FHooks.Launch = [](const std::string& commandLine, std::string& error) {
            if (platform::sys::StartHidden(commandLine)) return true;
            error = platform::SystemErrorText(platform::LastErrorCode());
            return false;
        };
    if (!FHooks.NewTransport) FHooks.NewTransport = [] { return std::make_shared<THttpClientTransport>(); };
    if (!FHooks.RetryDelayMs)
        FHooks.RetryDelayMs = [this] {
            const int32_t p = FSettings.IMAlivePeriod();
            return TPingServerThread::RandomPeriod(p > 0 ? static_cast<uint32_t>(p) : 10000);
        };
}

TUpdateManager::~TUpdateManager() {
    StopAll();
    for (auto& t : FThreads)
        if (t->thread.joinable()) t->thread.join();
}

std::string TUpdateManager::GetUpdateFolder() { return GetAgentDataFolder() + "Update"; }

std::string TUpdateManager::UpdateId() {
    std::lock_guard<std::mutex> hold(FLock);
    return FUpdateId;
}

std::string TUpdateManager::UpdateFile() {
    std::lock_guard<std::mutex> hold(FLock);
    return FUpdateFile;
}

void TUpdateManager::StopAll() {
    std::lock_guard<std::mutex> hold(FLock);
    for (auto& t : FThreads) {
        t->stop = true;
        t->transport->Cancel();
    }
    FWake.notify_all();
}

// Threads that have ended are joined and forgotten (the lock is held).
void TUpdateManager::Reap() {
    for (auto it = FThreads.begin(); it != FThreads.end();) {
        if ((*it)->done) {
            if ((*it)->thread.joinable()) (*it)->thread.join();
            it = FThreads.erase(it);
        } else {
            ++it;
        }
    }
}

bool TUpdateManager::WaitIdle(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> hold(FLock);
    return FWake.wait_for(hold, std::chrono::milliseconds(timeoutMs), [this] {
        for (auto& t : FThreads)
            if (!t->done) return false;
        return true;
    });
}

void TUpdateManager::LoadFromXML(const pugi::xml_node& ANode) {
    const std::string id = ANode.attribute("id").value();
    const std::string file = ANode.attribute("file").value();
    std::lock_guard<std::mutex> hold(FLock);
    if (id == FUpdateId) return;
    FUpdateId = id;
    // The server names a file in the update folder, never a path.
    if (!IsPlainFileName(file)) {
        TLogger::Warning("Update refused, not a plain file name: \"" + file + "\" (id=" + id + ")");
        return;
    }
    TLogger::Fine("Hooray. We need update id=" + id + ", filename=" + file);
    FUpdateFile = file;
    Reap();
    for (auto& t : FThreads) {
        t->stop = true;
        t->transport->Cancel();
    }
    FWake.notify_all();
    auto t = std::make_unique<TUpdateThread>();
    t->FUpdateId = id;
    t->FUpdateFileName = file;
    t->transport = FHooks.NewTransport();
    TUpdateThread& ref = *t;
    t->thread = std::thread([this, &ref] {
        try {
            Execute(ref);
        } catch (const std::exception& e) {
            TLogger::Warning(std::string("Update thread error ") + e.what());
        }
        std::lock_guard<std::mutex> h(FLock);
        ref.done = true;
        FWake.notify_all();
    });
    FThreads.push_back(std::move(t));
}

// Waits; false when the thread was asked to stop meanwhile.
bool TUpdateManager::Pause(TUpdateThread& t, uint32_t ms) {
    std::unique_lock<std::mutex> hold(FLock);
    return !FWake.wait_for(hold, std::chrono::milliseconds(ms), [&] { return t.stop.load(); });
}

void TUpdateManager::Execute(TUpdateThread& t) {
    TLogger::Fine("Start update thread");
    if (!Pause(t, FHooks.WaitBeforeMs)) return;
    const std::string url = FSettings.UpdateURL() + "/" + TCommunicationModule::PathEncode(t.FUpdateFileName);
    const std::string folder = GetUpdateFolder();
    const std::string local = folder + "\\" + t.FUpdateFileName;
    TLogger::Fine("update url " + url);
    TDownloadLimits limits;
    limits.maxBytes = MaxInstallerBytes;
    bool downloaded = false;
    while (!t.stop && !downloaded) {
        std::string error;
        try {
            platform::files::SecureFolder(folder, platform::files::Others::None);
            // Each attempt writes a fresh file; only a whole installer takes its name.
            TReplacingFile out(local);
            std::string writeError;
            const THttpReply reply = t.transport->Download(url, [&](const char* data, size_t size) {
                try {
                    out.Write(data, size);
                    return true;
                } catch (const std::exception& e) {
                    writeError = e.what();
                    return false;
                }
            }, limits);
            if (!writeError.empty()) throw std::runtime_error(writeError);
            if (reply.ok) {
                out.Commit();
                downloaded = true;
                break;
            }
            if (reply.status != 0) {
                // The server refused: no retry for this id in this process.
                FEvents.AddUpdateEvent(t.FUpdateId, t.FUpdateFileName, false, "win-1");
                TLogger::Fine("download update error " + reply.error);
                return;
            }
            error = reply.error;
        } catch (const std::exception& e) {
            error = e.what();
        }
        TLogger::Fine("download update error " + error);
        if (!Pause(t, FHooks.RetryDelayMs())) return;
    }
    if (t.stop) return;

    const std::string marker = folder + "\\" + ChangeFileExt(t.FUpdateFileName, ".start");
    try {
        const std::string id = platform::sys::Utf8ToAnsi(t.FUpdateId);
        ReplaceFileContent(marker, std::vector<uint8_t>(id.begin(), id.end()));
    } catch (const std::exception&) {
        TLogger::Warning("Can not write update marker " + marker);
    }
    const std::string commandLine = "\"" + local + "\" /SP- /VERYSILENT /SUPPRESSMSGBOXES";
    TLogger::Fine("Start update with command line - " + commandLine);
    std::string error;
    if (!FHooks.Launch(commandLine, error)) {
        TLogger::Warning("Can not start updater " + error);
        FEvents.AddUpdateEvent(t.FUpdateId, t.FUpdateFileName, false, "win-2");
    }
}

void TUpdateManager::LoadFromDisk() {
    TLogger::Fine("Update manager load from disk");
    const std::string folder = GetUpdateFolder();
    const std::string old = platform::sys::SystemDir() + "\\TallistoClient\\Update";
    std::error_code ec;
    if (fs::is_directory(ToFsPath(old), ec)) {
        TLogger::Fine("Moving files from " + old + " to " + folder);
        platform::files::SecureFolder(folder, platform::files::Others::None);
        // File by file: the library's recursive copy refuses a target folder that exists on Windows.
        const fs::path from = ToFsPath(old), to = ToFsPath(folder);
        for (auto it = fs::recursive_directory_iterator(from); it != fs::recursive_directory_iterator(); ++it) {
            const fs::path target = to / fs::relative(it->path(), from);
            if (it->is_directory())
                fs::create_directories(target);
            else
                fs::copy_file(it->path(), target, fs::copy_options::overwrite_existing);
        }
        for (const auto& f : platform::files::FindFiles(old + "\\*"))
            if (!f.directory()) fs::remove(ToFsPath(old + "\\" + f.name));
    }
    std::string markerName;
    for (const auto& f : platform::files::FindFiles(folder + "\\*")) {
        if (f.directory()) continue;
        const auto dot = f.name.rfind('.');
        const std::string ext = dot == std::string::npos ? std::string() : platform::AsciiLower(f.name.substr(dot));
        if (ext == ".ok" || ext == ".start") {
            markerName = f.name;
            break;
        }
    }
    if (markerName.empty()) return;
    const bool success = platform::AsciiLower(markerName.substr(markerName.rfind('.'))) == ".ok";
    // The first line of the marker; a marker is a few bytes, and no more is read.
    const std::vector<uint8_t> bytes = platform::files::ReadShared(folder + "\\" + markerName, 4096);
    std::string id(bytes.begin(), bytes.end());
    id = id.substr(0, id.find_first_of("\r\n"));
    const std::string file = ChangeFileExt(markerName, ".exe");
    {
        std::lock_guard<std::mutex> hold(FLock);
        FUpdateId = id;
        FUpdateFile = file;
    }
    const std::string installer = folder + "\\" + file;
    auto remove = [installer, folder] {
        std::error_code e;
        if (fs::exists(ToFsPath(installer), e)) {
            TLogger::Fine("Try to delete - " + installer);
            if (!fs::remove(ToFsPath(installer), e) && e) TLogger::Fine("Can not delete file, error -" + e.message());
        } else {
            TLogger::Fine("Update " + installer + " not found");
        }
        // The acknowledged event may have come while the installer still ran and
        // left the folder behind; an empty folder goes now (never recursively).
        fs::remove(ToFsPath(folder), e);
    };
    if (FHooks.Later)
        FHooks.Later(FHooks.DeleteAfterMs, remove);
    else
        remove();
    TLogger::Fine("Update Manager load from disk, found update id=" + id + " filename=" + file);
    FEvents.AddUpdateEvent(id, file, success, success ? "" : "win-3");
}

}  // namespace qz
