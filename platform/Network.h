#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// Network adapters, for the MAC addresses the agent reports. Failures answer
// nullopt or an empty list; nothing here raises.
namespace platform::net {

struct AdapterAddress {
    std::string adapterName;     // the adapter identifier, "{...}"
    std::vector<uint8_t> hardwareAddress;
    uint32_t operStatus = 0;     // 1 up ... 7 lower layer down
};
// nullopt when the system's adapter query fails.
std::optional<std::vector<AdapterAddress>> QueryAdapterAddresses();

// The adapter status of each NetBIOS LAN adapter in turn: the first six
// status bytes, or nullopt where the status call failed. Stops at the first
// failure (the failing entry is included).
std::vector<std::optional<std::vector<uint8_t>>> NetbiosAdapterStatuses(
    const std::vector<uint8_t>& stopUnless = {0, 0, 0, 0, 0, 0});

// Hardware address of the interface with the best route to a dotted IPv4 address.
std::optional<std::vector<uint8_t>> BestInterfaceHardwareAddress(const std::string& ipv4);

// The socket error code of the calling thread's last failed socket call, in
// Windows numbering (10054 = connection reset by peer).
int LastSocketError();
// Forgets the calling thread's last socket error, so a later failure reports its own.
void ClearSocketError();
constexpr int SocketConnectionReset = 10054;

}  // namespace platform::net
