#pragma once
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <pugixml.hpp>

namespace qz {

class THttpTransport;
class TSettings;

// Local copies of the banner pictures the guard server publishes, kept in
// step with its list in the data folder's "Banners", and the list's version
// stamp for the state document.
class TBannerCache {
public:
    static constexpr size_t MaxBannerBytes = 16u << 20;

    // The settings give the banner address and its time-out; the transport
    // is replaceable for tests.
    explicit TBannerCache(const TSettings& settings, std::shared_ptr<THttpTransport> transport = nullptr);

    void Init();
    void LoadFromXML(const pugi::xml_node& ANode);
    std::string GetNextBanner();
    void SaveToXML(pugi::xml_node& ANode);
    std::string BannersUpdateTime();

    static std::string BannersFolder();  // with a trailing separator

private:
    struct TLocalFile {
        std::string id, name;
    };
    static std::vector<TLocalFile> LocalScan();
    bool Download(const std::string& id);

    const TSettings& FSettings;
    std::shared_ptr<THttpTransport> FTransport;
    std::mutex _cs;            // the list and the position
    std::mutex FStampLock;     // the stamp alone, so readers never wait for downloads
    std::mutex FLoadLock;      // one server list at a time
    std::vector<std::string> FBanners;
    std::string FBannersUpdateTime = "0";
    size_t FCurrentIndex = 0;
};

}  // namespace qz
