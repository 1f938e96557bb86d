#include "messaging/BannerCache.h"

#include <algorithm>
#include <filesystem>

#include "common/Communication.h"
#include "common/Files.h"
#include "common/HttpClient.h"
#include "common/Logger.h"
#include "common/Settings.h"
#include "common/Utils.h"
#include "platform/Clock.h"
#include "platform/AsciiCase.h"
#include "platform/FileSystem.h"

namespace qz {

namespace {

// A banner's file: its id and ".png".
constexpr size_t ExtLength = 4;

}  // namespace

TBannerCache::TBannerCache(const TSettings& settings, std::shared_ptr<THttpTransport> transport, TBannerLimits limits)
    : FSettings(settings),
      FTransport(transport ? std::move(transport) : std::make_shared<THttpClientTransport>()),
      FLimits(limits) {}

TBannerCache::~TBannerCache() { Stop(); }

std::string TBannerCache::BannersFolder() { return GetAgentDataFolder() + "Banners\\"; }

std::vector<TBannerCache::TLocalFile> TBannerCache::LocalScan() {
    std::vector<TLocalFile> files;
    for (const auto& f : platform::files::FindFiles(BannersFolder() + "*.png")) {
        if (f.directory() || f.name.size() < ExtLength) continue;
        files.push_back({platform::AsciiLower(f.name.substr(0, f.name.size() - ExtLength)), f.name, f.size});
    }
    return files;
}

void TBannerCache::Init() {
    std::vector<std::string> ids;
    for (auto& f : LocalScan()) ids.push_back(std::move(f.id));
    {
        std::lock_guard<std::mutex> hold(_cs);
        FBanners = std::move(ids);
        FCurrentIndex = 0;
    }
    std::lock_guard<std::mutex> hold(FStampLock);
    FBannersUpdateTime = "1";
}

bool TBannerCache::Download(const std::string& id, uint64_t maxBytes, uint64_t& got) {
    const std::string folder = BannersFolder();
    const std::string target = folder + id + ".png";
    got = 0;
    try {
        // Users read the pictures: their session programs show them.
        platform::files::SecureFolder(folder, platform::files::Others::Read);
        TLogger::Fine("Load banner from server with id " + id);
        // Only a whole picture takes the banner's name.
        TReplacingFile out(target, true);
        TDownloadLimits limits;
        const int32_t timeout = FSettings.BannerTimeout();
        limits.connectMs = limits.readMs = timeout > 0 ? static_cast<uint32_t>(timeout) : 15000;
        limits.totalMs = 5 * 60 * 1000;
        limits.maxBytes = maxBytes;
        const std::string url = FSettings.BannerServletURL() + "?id=" + TCommunicationModule::PathEncode(id);
        std::string writeError;
        const THttpReply reply = FTransport->Download(url, [&](const char* data, size_t size) {
            try {
                out.Write(data, size);
            } catch (const std::exception& e) {
                writeError = e.what();
                return false;
            }
            got += size;
            return true;
        }, limits);
        if (!writeError.empty()) throw std::runtime_error(writeError);
        if (!reply.ok) throw std::runtime_error(reply.error);
        out.Commit();
        return true;
    } catch (const std::exception& e) {
        TLogger::Info(std::string("Can not load banner. Reason: ") + e.what());
        return false;
    }
}

void TBannerCache::LoadFromXML(const pugi::xml_node& ANode) {
    TLogger::Fine("Update banner list");
    TList list;
    list.stamp = ANode.attribute("banner_update_time").value();
    std::string listed;
    size_t beyond = 0;
    for (pugi::xml_node b = ANode.child("banner"); b; b = b.next_sibling("banner")) {
        const std::string id = platform::AsciiLower(b.attribute("id").value());
        // An id becomes a file name in Banners: nothing that could point elsewhere.
        if (!IsPlainFileName(id) || !IsPlainFileName(id + ".png")) {
            TLogger::Warning("Banner id refused: \"" + id + "\"");
            continue;
        }
        if (std::find(list.ids.begin(), list.ids.end(), id) != list.ids.end()) continue;
        if (list.ids.size() >= FLimits.banners) {
            ++beyond;
            continue;
        }
        list.ids.push_back(id);
        listed += "\n" + id;
    }
    TLogger::Fine("Banner list:\n\r" + listed.substr(listed.empty() ? 0 : 1));
    if (beyond)
        TLogger::Warning("Banner list too long: " + std::to_string(beyond) + " banners beyond the first " +
                         std::to_string(FLimits.banners) + " skipped");

    std::lock_guard<std::mutex> hold(_cs);
    if (FStopped) return;
    // A banner the list no longer names starts afresh should it come back.
    for (auto it = FRetries.begin(); it != FRetries.end();)
        it = std::find(list.ids.begin(), list.ids.end(), it->first) == list.ids.end() ? FRetries.erase(it)
                                                                                      : std::next(it);
    const bool needed = !(FApplied && *FApplied == list) || RetryDue(list, platform::sys::TickCountMs());
    FWanted = std::move(list);
    ++FGeneration;
    // A busy worker takes the newest list when it is through with its own.
    if (FBusy || !needed) return;
    if (FWorker.joinable()) FWorker.join();  // it has ended
    try {
        FWorker = std::thread([this] { Run(); });
        FBusy = true;
    } catch (const std::exception& e) {
        TLogger::Warning(std::string("Can not start the banner downloads: ") + e.what());
    }
}

bool TBannerCache::RetryDue(const TList& list, uint64_t now) const {
    for (const auto& id : list.ids) {
        const auto r = FRetries.find(id);
        if (r != FRetries.end() && r->second.dueMs <= now) return true;
    }
    return false;
}

void TBannerCache::Finish() {
    FBusy = false;
    FIdle.notify_all();
}

void TBannerCache::Run() {
    for (;;) {
        TList list;
        uint64_t generation = 0;
        {
            std::lock_guard<std::mutex> hold(_cs);
            if (FStopped || !FWanted) return Finish();
            list = *FWanted;
            generation = FGeneration;
        }
        bool complete = false;
        try {
            complete = Apply(list);
        } catch (const std::exception& e) {
            TLogger::Warning(std::string("Banner update error ") + e.what());
        }
        std::lock_guard<std::mutex> hold(_cs);
        if (FStopped) return Finish();
        FApplied = list;
        if (generation != FGeneration) continue;
        {
            // A list with a banner that couldn't be fetched keeps the old stamp, so
            // the server sends it again and the missing ones are fetched then.
            std::lock_guard<std::mutex> stamp(FStampLock);
            if (complete) FBannersUpdateTime = list.stamp;
        }
        if (!complete) TLogger::Info("Banner list incomplete, update time " + list.stamp + " not taken");
        return Finish();
    }
}

bool TBannerCache::Apply(const TList& list) {
    const auto named = [](const std::vector<std::string>& ids, const std::string& id) {
        return std::find(ids.begin(), ids.end(), id) != ids.end();
    };
    for (const auto& f : LocalScan()) {
        if (named(list.ids, f.id)) continue;
        std::error_code ec;
        std::filesystem::remove(ToFsPath(BannersFolder() + f.name), ec);
        if (ec) TLogger::Info("Can not delete banner " + f.name + ": " + ec.message());
    }
    std::vector<std::string> held;
    uint64_t used = 0;
    for (const auto& f : LocalScan()) {
        if (!named(list.ids, f.id)) continue;
        held.push_back(f.id);
        used += f.size;
    }
    std::vector<std::string> rotation;
    bool complete = true;
    size_t skipped = 0;
    for (const auto& id : list.ids) {
        if (named(held, id)) {
            rotation.push_back(id);
            continue;
        }
        {
            std::lock_guard<std::mutex> hold(_cs);
            if (FStopped) return false;
            const auto r = FRetries.find(id);
            if (r != FRetries.end() && r->second.dueMs > platform::sys::TickCountMs()) {
                complete = false;
                continue;
            }
        }
        if (used >= FLimits.totalBytes) {
            ++skipped;
            continue;
        }
        uint64_t got = 0;
        const bool ok = Download(id, std::min(FLimits.bannerBytes, FLimits.totalBytes - used), got);
        uint32_t pause = 0;
        {
            std::lock_guard<std::mutex> hold(_cs);
            if (ok) {
                FRetries.erase(id);
            } else {
                TRetry& r = FRetries[id];
                r.delayMs = r.delayMs ? std::min(r.delayMs * 2, FLimits.lastRetryMs) : FLimits.firstRetryMs;
                r.dueMs = platform::sys::TickCountMs() + r.delayMs;
                pause = r.delayMs;
            }
        }
        if (ok) {
            used += got;
            rotation.push_back(id);
        } else {
            complete = false;
            TLogger::Info("Banner " + id + " is tried again in " + std::to_string(pause / 1000) + " s");
        }
    }
    if (skipped)
        TLogger::Warning("Banners over " + std::to_string(FLimits.totalBytes) + " bytes: " + std::to_string(skipped) +
                         " skipped");
    std::lock_guard<std::mutex> hold(_cs);
    FBanners = std::move(rotation);
    FCurrentIndex = 0;
    return complete;
}

std::string TBannerCache::GetNextBanner() {
    std::lock_guard<std::mutex> hold(_cs);
    if (FBanners.empty()) return {};
    if (FCurrentIndex >= FBanners.size()) {
        FCurrentIndex = 1;
        return FBanners[0];
    }
    const std::string id = FBanners[FCurrentIndex];
    FCurrentIndex = (FCurrentIndex + 1) % FBanners.size();
    return id;
}

void TBannerCache::SaveToXML(pugi::xml_node& ANode) {
    std::lock_guard<std::mutex> hold(_cs);
    for (const auto& id : FBanners) ANode.append_child("banner").append_attribute("id") = id.c_str();
}

std::string TBannerCache::BannersUpdateTime() {
    std::lock_guard<std::mutex> hold(FStampLock);
    return FBannersUpdateTime;
}

void TBannerCache::Stop() {
    {
        std::lock_guard<std::mutex> hold(_cs);
        FStopped = true;
    }
    FTransport->Cancel();
    if (FWorker.joinable()) FWorker.join();
}

bool TBannerCache::WaitIdle(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> hold(_cs);
    return FIdle.wait_for(hold, std::chrono::milliseconds(timeoutMs), [this] { return !FBusy; });
}

}  // namespace qz
