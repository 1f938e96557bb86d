#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "common/Crypto.h"
#include "protocol/PingServer.h"
#include "websocket/WebsocketClient.h"

namespace qz {

class TEvent;

// What the channel needs from around it; the main service fills it.
struct TSocketConnectorDeps {
    std::function<std::string()> GuardUrl;              // the guard endpoint ("<server>/guard")
    std::function<TBytes()> ConnectionPassword;
    std::function<bool()> UseWebsockets;
    std::function<bool()> Stopping;                     // the main service is stopping
    std::function<std::string()> PacketId;              // the packet in flight
    std::function<void(const std::string&)> SetReceivedResponse;
    TEvent* ResponseReceived = nullptr;
    // The command server's handling of a pushed request: its encrypted answer, or empty.
    std::function<TBytes(const TBytes&)> HandleServerRequest;
    TWebsocketClient::Options Options;                  // replaceable for tests
};

// The websocket channel to the guard server: opened after a good heartbeat,
// dropped after a failed one; carries the heartbeat documents and their short
// no-change frames, the server's short answers, and the requests the server
// pushes to the command server.
class TSocketConnector : public IWebsocketLink {
public:
    explicit TSocketConnector(TSocketConnectorDeps deps);
    ~TSocketConnector() override;

    bool Connected() const override;
    void SendData(const TBytes& message) override;
    void SetNeedToReconnect(bool value) override { FNeedToReconnect = value; }
    void RefreshState() override;
    void StartConnection();

    // The websocket's address and resource name for the current settings.
    struct Target {
        std::string host;
        uint16_t port = 0;
        bool tls = false;
        std::string resourceName;
    };
    Target MakeTarget() const;
    // A binary message from the server (the receive handler).
    void OnMessage(const std::vector<uint8_t>& data);

private:
    void Drop();
    std::string EncryptedValue(const std::string& text) const;

    TSocketConnectorDeps FDeps;
    bool FNeedToReconnect = false;
    mutable std::mutex FLock;  // the connection object
    std::shared_ptr<TWebsocketClient> FConnection;
};

}  // namespace qz
