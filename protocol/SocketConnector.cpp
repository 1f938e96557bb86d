#include "protocol/SocketConnector.h"

#include <cstdio>

#include "common/Communication.h"
#include "common/Event.h"
#include "common/Logger.h"
#include "common/Url.h"
#include "platform/SystemInfo.h"

namespace qz {

TSocketConnector::TSocketConnector(TSocketConnectorDeps deps) : FDeps(std::move(deps)) {}

TSocketConnector::~TSocketConnector() { Drop(); }

bool TSocketConnector::Connected() const {
    try {
        std::lock_guard<std::mutex> hold(FLock);
        return FConnection && FConnection->Connected();
    } catch (const std::exception&) {
        return false;
    }
}

void TSocketConnector::SendData(const TBytes& message) {
    std::shared_ptr<TWebsocketClient> c;
    {
        std::lock_guard<std::mutex> hold(FLock);
        c = FConnection;
    }
    if (!c || !c->Connected()) return;
    c->WriteData(message.data(), message.size(), TWSDataCode::wdcBinary);
}

void TSocketConnector::RefreshState() {
    try {
        const bool stopping = FDeps.Stopping && FDeps.Stopping();
        const bool wanted = FDeps.UseWebsockets && FDeps.UseWebsockets();
        if (FNeedToReconnect && !stopping && wanted) {
            StartConnection();
        } else {
            try {
                Drop();
            } catch (const std::exception& e) {
                TLogger::Info(std::string("Drop connection failed ") + e.what());
            }
        }
    } catch (const std::exception& e) {
        TLogger::Info(std::string("refresh state exception ") + e.what());
    }
}

void TSocketConnector::Drop() {
    std::shared_ptr<TWebsocketClient> c;
    {
        std::lock_guard<std::mutex> hold(FLock);
        c.swap(FConnection);
    }
    if (!c) return;
    c->Disconnect();
    c.reset();
    // Nothing of the old connection may still be running this object's handlers.
    TWebsocketClient::WaitForDeliveries();
}

std::string TSocketConnector::EncryptedValue(const std::string& text) const {
    const TBytes password = FDeps.ConnectionPassword ? FDeps.ConnectionPassword() : TBytes();
    return TCommunicationModule::PathEncode(TBase64::EncodeBase64(TCrypto::Encrypt(ToBytes(text), password)));
}

TSocketConnector::Target TSocketConnector::MakeTarget() const {
    const std::string w = (FDeps.GuardUrl ? FDeps.GuardUrl() : std::string()) + "7";
    const TUrlParts url = SplitUrl(w);
    Target t;
    t.host = url.host;
    t.port = static_cast<uint16_t>(url.port);
    t.tls = url.scheme == "https";
    std::string path = url.target.substr(0, url.target.find_first_of("?#"));
    std::string sm;
    std::vector<std::string> macs;
    GetPhysicalAdapterMacs(macs);
    for (const auto& mac : macs) sm += "&sm=" + EncryptedValue(mac);
    const std::string name = platform::sys::ComputerNetName();
    t.resourceName = path + "?hostname=" + TCommunicationModule::PathEncode(name) + "&check=" + EncryptedValue(name) +
                     "&" + TCommunicationModule::GetMacAddressParameters() + sm;
    return t;
}

void TSocketConnector::StartConnection() {
    std::shared_ptr<TWebsocketClient> c;
    try {
        {
            std::lock_guard<std::mutex> hold(FLock);
            if (FConnection && FConnection->Connected()) return;
            c.swap(FConnection);
        }
        if (c) c->Disconnect();
        const Target t = MakeTarget();
        c = std::make_shared<TWebsocketClient>(t.host, t.port, t.resourceName, t.tls, FDeps.Options);
        c->OnConnected([] { TLogger::Fine("Websocket opened"); });
        c->OnDisconnected([] { TLogger::Fine("Websocket closed with unknown reason"); });
        c->OnBinData([this](const std::vector<uint8_t>& data) {
            TLogger::Fine("Websocket read binary data");
            OnMessage(data);
        });
        {
            std::lock_guard<std::mutex> hold(FLock);
            FConnection = c;
        }
        c->Connect();
        c->TryUpgradeToWebsocket();
    } catch (const std::exception& e) {
        TLogger::Info(std::string("Start web socket connection exception ") + e.what());
    }
}

void TSocketConnector::OnMessage(const std::vector<uint8_t>& data) {
    if (data.size() == 17) {
        std::string id;
        char hex[3];
        for (size_t i = 0; i < 16; ++i) {
            std::snprintf(hex, sizeof hex, "%02X", data[i]);
            id += hex;
        }
        TLogger::Fine("Received websocket short answer with id " + id);
        if (!FDeps.PacketId || id != FDeps.PacketId()) {
            TLogger::Fine("Unexpected response id");
            return;
        }
        if (FDeps.SetReceivedResponse) FDeps.SetReceivedResponse(std::string(1, static_cast<char>(data[16])));
        // Set, not pulsed: the answer may come before the heartbeat waits for it.
        if (FDeps.ResponseReceived) FDeps.ResponseReceived->Set();
        return;
    }
    if (!FDeps.HandleServerRequest) return;
    const TBytes answer = FDeps.HandleServerRequest(TBytes(data.begin(), data.end()));
    if (answer.empty()) return;
    TLogger::Fine("result size " + std::to_string(answer.size()));
    std::shared_ptr<TWebsocketClient> c;
    {
        std::lock_guard<std::mutex> hold(FLock);
        c = FConnection;
    }
    if (c && c->Connected()) c->WriteData(answer.data(), answer.size(), TWSDataCode::wdcBinary);
}

}  // namespace qz
