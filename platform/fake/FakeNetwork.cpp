#include "platform/fake/FakeWorld.h"

namespace platform::net {

using fake::Locked;

std::optional<std::vector<AdapterAddress>> QueryAdapterAddresses() { return Locked()->adapterAddresses; }

std::vector<std::optional<std::vector<uint8_t>>> NetbiosAdapterStatuses(const std::vector<uint8_t>& stopUnless) {
    Locked w;
    std::vector<std::optional<std::vector<uint8_t>>> out;
    for (const auto& s : w->netbiosStatuses) {
        out.push_back(s);
        if (!s || *s != stopUnless) break;
    }
    return out;
}

std::optional<std::vector<uint8_t>> BestInterfaceHardwareAddress(const std::string& ipv4) {
    Locked w;
    auto it = w->bestInterface.find(ipv4);
    if (it == w->bestInterface.end()) return std::nullopt;
    return it->second;
}

int LastSocketError() { return Locked()->lastSocketError; }
void ClearSocketError() { Locked()->lastSocketError = 0; }

}  // namespace platform::net
