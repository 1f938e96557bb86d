#include "platform/Network.h"

#include <winsock2.h>

#include <cstring>
#include <ws2tcpip.h>

#include "platform/win32/WinText.h"
// After the socket headers: they need the declarations those bring.
#include <iphlpapi.h>
#include <nb30.h>

namespace platform::net {

std::optional<std::vector<AdapterAddress>> QueryAdapterAddresses() {
    ULONG size = 15000;
    std::vector<BYTE> buf;
    ULONG rc = ERROR_BUFFER_OVERFLOW;
    // The list may grow between calls; three tries are plenty.
    for (int attempt = 0; attempt < 3 && rc == ERROR_BUFFER_OVERFLOW; ++attempt) {
        buf.assign(size, 0);
        rc = GetAdaptersAddresses(AF_UNSPEC, GAA_FLAG_INCLUDE_ALL_INTERFACES, nullptr,
                                  reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()), &size);
    }
    if (rc != NO_ERROR) return std::nullopt;
    std::vector<AdapterAddress> out;
    for (auto* a = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buf.data()); a; a = a->Next) {
        AdapterAddress entry;
        entry.adapterName = a->AdapterName ? a->AdapterName : "";
        entry.hardwareAddress.assign(a->PhysicalAddress, a->PhysicalAddress + a->PhysicalAddressLength);
        entry.operStatus = static_cast<uint32_t>(a->OperStatus);
        out.push_back(std::move(entry));
    }
    return out;
}

std::vector<std::optional<std::vector<uint8_t>>> NetbiosAdapterStatuses(const std::vector<uint8_t>& stopUnless) {
    std::vector<std::optional<std::vector<uint8_t>>> out;
    LANA_ENUM lanas{};
    NCB ncb{};
    ncb.ncb_command = NCBENUM;
    ncb.ncb_buffer = reinterpret_cast<PUCHAR>(&lanas);
    ncb.ncb_length = sizeof lanas;
    if (Netbios(&ncb) != NRC_GOODRET) return out;
    for (UCHAR i = 0; i < lanas.length; ++i) {
        ncb = NCB{};
        ncb.ncb_command = NCBRESET;
        ncb.ncb_lana_num = lanas.lana[i];
        Netbios(&ncb);

        UCHAR status[60] = {};
        ncb = NCB{};
        ncb.ncb_command = NCBASTAT;
        ncb.ncb_lana_num = lanas.lana[i];
        std::memset(ncb.ncb_callname, ' ', NCBNAMSZ);
        ncb.ncb_callname[0] = '*';
        ncb.ncb_buffer = status;
        ncb.ncb_length = sizeof status;
        const UCHAR rc = Netbios(&ncb);
        if (rc != NRC_GOODRET && rc != NRC_BUFLEN) {
            out.emplace_back(std::nullopt);
            break;
        }
        std::vector<uint8_t> mac(status, status + 6);
        const bool stop = mac != stopUnless;
        out.emplace_back(std::move(mac));
        if (stop) break;
    }
    return out;
}

std::optional<std::vector<uint8_t>> BestInterfaceHardwareAddress(const std::string& ipv4) {
    IN_ADDR addr{};
    if (InetPtonA(AF_INET, ipv4.c_str(), &addr) != 1) return std::nullopt;
    DWORD index = 0;
    if (GetBestInterface(addr.S_un.S_addr, &index) != NO_ERROR) return std::nullopt;
    MIB_IFROW row{};
    row.dwIndex = index;
    if (GetIfEntry(&row) != NO_ERROR) return std::nullopt;
    return std::vector<uint8_t>(row.bPhysAddr, row.bPhysAddr + row.dwPhysAddrLen);
}

int LastSocketError() { return WSAGetLastError(); }

void ClearSocketError() { WSASetLastError(0); }

}  // namespace platform::net
