#include "messaging/BannerCache.h"

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "common/Communication.h"
#include "common/Files.h"
#include "common/HttpClient.h"
#include "common/Logger.h"
#include "common/Settings.h"
#include "common/Utils.h"
#include "platform/AsciiCase.h"
#include "platform/FileSystem.h"

namespace qz {

namespace {

// A banner's file: its id and ".png".
constexpr size_t ExtLength = 4;

}  // namespace

TBannerCache::TBannerCache(const TSettings& settings, std::shared_ptr<THttpTransport> transport)
    : FSettings(settings), FTransport(transport ? std::move(transport) : std::make_shared<THttpClientTransport>()) {}

std::string TBannerCache::BannersFolder() { return GetAgentDataFolder() + "Banners\\"; }

std::vector<TBannerCache::TLocalFile> TBannerCache::LocalScan() {
    std::vector<TLocalFile> files;
    for (const auto& f : platform::files::FindFiles(BannersFolder() + "*.png")) {
        if (f.directory() || f.name.size() < ExtLength) continue;
        files.push_back({platform::AsciiLower(f.name.substr(0, f.name.size() - ExtLength)), f.name});
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

bool TBannerCache::Download(const std::string& id) {
    const std::string folder = BannersFolder();
    const std::string partial = folder + id + ".part", target = folder + id + ".png";
    std::error_code ec;
    try {
        // Users read the pictures: their session programs show them.
        platform::files::SecureFolder(folder, platform::files::Others::Read);
        TLogger::Fine("Load banner from server with id " + id);
        std::ofstream out(ToFsPath(partial), std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error("Cannot create file \"" + partial + "\"");
        TDownloadLimits limits;
        const int32_t timeout = FSettings.BannerTimeout();
        limits.connectMs = limits.readMs = timeout > 0 ? static_cast<uint32_t>(timeout) : 15000;
        limits.totalMs = 5 * 60 * 1000;
        limits.maxBytes = MaxBannerBytes;
        const std::string url = FSettings.BannerServletURL() + "?id=" + TCommunicationModule::PathEncode(id);
        const THttpReply reply = FTransport->Download(url, [&](const char* data, size_t size) {
            out.write(data, static_cast<std::streamsize>(size));
            return static_cast<bool>(out);
        }, limits);
        out.close();
        if (!reply.ok) throw std::runtime_error(reply.error);
        if (!out) throw std::runtime_error("Cannot write file \"" + partial + "\"");
        // Only a whole picture takes the banner's name.
        platform::files::MoveOver(partial, target);
        return true;
    } catch (const std::exception& e) {
        TLogger::Info(std::string("Can not load banner. Reason: ") + e.what());
        std::filesystem::remove(ToFsPath(partial), ec);
        return false;
    }
}

void TBannerCache::LoadFromXML(const pugi::xml_node& ANode) {
    TLogger::Fine("Update banner list");
    std::lock_guard<std::mutex> serial(FLoadLock);
    const std::string stamp = ANode.attribute("banner_update_time").value();
    std::vector<std::string> list;
    std::string listed;
    for (pugi::xml_node b = ANode.child("banner"); b; b = b.next_sibling("banner")) {
        const std::string id = platform::AsciiLower(b.attribute("id").value());
        // An id becomes a file name in Banners: nothing that could point elsewhere.
        if (!IsPlainFileName(id) || !IsPlainFileName(id + ".png")) {
            TLogger::Warning("Banner id refused: \"" + id + "\"");
            continue;
        }
        list.push_back(id);
        listed += "\n" + id;
    }
    TLogger::Fine("Banner list:\n\r" + listed.substr(listed.empty() ? 0 : 1));

    for (const auto& f : LocalScan()) {
        if (std::find(list.begin(), list.end(), f.id) != list.end()) continue;
        std::error_code ec;
        std::filesystem::remove(ToFsPath(BannersFolder() + f.name), ec);
        if (ec) TLogger::Info("Can not delete banner " + f.name + ": " + ec.message());
    }
    std::vector<std::string> held;
    for (const auto& f : LocalScan()) held.push_back(f.id);
    std::vector<std::string> rotation;
    bool complete = true;
    for (const auto& id : list) {
        if (std::find(held.begin(), held.end(), id) != held.end() || Download(id)) {
            if (std::find(rotation.begin(), rotation.end(), id) == rotation.end()) rotation.push_back(id);
            held.push_back(id);
        } else {
            complete = false;
        }
    }
    {
        std::lock_guard<std::mutex> hold(_cs);
        FBanners = std::move(rotation);
        FCurrentIndex = 0;
    }
    // A list with a banner that couldn't be fetched keeps the old stamp, so the
    // server sends it again and the missing ones are fetched then.
    std::lock_guard<std::mutex> hold(FStampLock);
    if (complete)
        FBannersUpdateTime = stamp;
    else
        TLogger::Info("Banner list incomplete, update time " + stamp + " not taken");
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

}  // namespace qz
