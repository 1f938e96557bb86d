#include "platform/fake/FakeWorld.h"

namespace platform::net {

using fake::W;

std::optional<std::vector<AdapterAddress>> QueryAdapterAddresses() {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    return W().adapterAddresses;
}

std::vector<std::optional<std::vector<uint8_t>>> NetbiosAdapterStatuses(const std::vector<uint8_t>& stopUnless) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    std::vector<std::optional<std::vector<uint8_t>>> out;
    for (const auto& s : W().netbiosStatuses) {
        out.push_back(s);
        if (!s || *s != stopUnless) break;
    }
    return out;
}

std::optional<std::vector<uint8_t>> BestInterfaceHardwareAddress(const std::string& ipv4) {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    auto it = W().bestInterface.find(ipv4);
    if (it == W().bestInterface.end()) return std::nullopt;
    return it->second;
}

int LastSocketError() {
    std::lock_guard<std::recursive_mutex> lock(W().lock);
    return W().lastSocketError;
}

}  // namespace platform::net
