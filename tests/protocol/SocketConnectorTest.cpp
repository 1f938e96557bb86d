#include "protocol/SocketConnector.h"

#include <thread>

#include "common/Event.h"
#include "platform/Registry.h"
#include "tests/support/HostileServer.h"
#include "tests/support/TestSupport.h"
#include "websocket/WsHandshake.h"

using namespace qz;

namespace {

const TBytes kPassword = ToBytes("connection pass!");

// One query value of a resource name.
std::string Query(const std::string& target, const std::string& name) {
    auto at = target.find("&" + name + "=");
    if (at == std::string::npos) at = target.find("?" + name + "=");
    if (at == std::string::npos) return {};
    at += name.size() + 2;
    return target.substr(at, target.find('&', at) - at);
}

std::string Decrypted(const std::string& value) {
    std::string unescaped;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] == '%' && i + 2 < value.size()) {
            unescaped += static_cast<char>(std::stoi(value.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            unescaped += value[i];
        }
    }
    return ToText(TCrypto::Decrypt(TBase64::DecodeBase64(unescaped), kPassword));
}

class SocketConnectorTest : public qztest::PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        deps.GuardUrl = [this] { return url; };
        deps.ConnectionPassword = [] { return kPassword; };
        deps.UseWebsockets = [this] { return use; };
        deps.Stopping = [] { return false; };
        deps.PacketId = [this] { return packetId; };
        deps.SetReceivedResponse = [this](const std::string& r) { received = r; };
        deps.ResponseReceived = &event;
        deps.HandleServerRequest = [this](const TBytes& request) {
            requests.push_back(request);
            return ToBytes("answer");
        };
    }
    void AddPciAdapter(const std::string& id, const std::vector<uint8_t>& mac) {
        platform::reg::SetString(
            {platform::reg::Hive::LocalMachine,
             "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\" + id +
                 "\\Connection"},
            "PnpInstanceID", "PCI\\VEN_8086");
        W().adapterAddresses->push_back({id, mac, 1});
    }
    std::string url = "http://guard.lab:8080/server/guard";
    bool use = true;
    std::string packetId = "00112233445566778899AABBCCDDEEFF";
    std::string received;
    TEvent event;
    std::vector<TBytes> requests;
    TSocketConnectorDeps deps;
};

TEST_F(SocketConnectorTest, TheResourceNameCarriesTheStationUnderThePassword) {
    TSocketConnector channel(deps);
    auto t = channel.MakeTarget();
    EXPECT_EQ(t.host, "guard.lab");
    EXPECT_EQ(t.port, 8080);
    EXPECT_FALSE(t.tls);
    EXPECT_EQ(t.resourceName.rfind("/server/guard7?hostname=LAB-07&check=", 0), 0u) << t.resourceName;
    EXPECT_EQ(Decrypted(Query(t.resourceName, "check")), "LAB-07");
    // No physical adapter: "&" right after the check value, no "sm".
    EXPECT_EQ(t.resourceName.back(), '&');
    EXPECT_EQ(t.resourceName.find("&sm="), std::string::npos);

    url = "https://guard.lab/server/guard";
    AddPciAdapter("{A}", {0x00, 0x11, 0x22, 0x33, 0x44, 0x55});
    AddPciAdapter("{B}", {0x66, 0x77, 0x88, 0x99, 0xAA, 0xBB});
    t = channel.MakeTarget();
    EXPECT_EQ(t.port, 443);
    EXPECT_TRUE(t.tls);
    const auto first = t.resourceName.find("&sm=");
    ASSERT_NE(first, std::string::npos);
    const std::string sm1 = t.resourceName.substr(first + 4, t.resourceName.find("&sm=", first + 1) - first - 4);
    const std::string sm2 = t.resourceName.substr(t.resourceName.find("&sm=", first + 1) + 4);
    EXPECT_EQ(Decrypted(sm1), "00:11:22:33:44:55");
    EXPECT_EQ(Decrypted(sm2), "66:77:88:99:AA:BB");
}

TEST_F(SocketConnectorTest, ShortAnswersByIdAndEverythingElseToTheCommandServer) {
    TSocketConnector channel(deps);
    std::vector<uint8_t> shortAnswer = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                        0x88, 0x99, 0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF, 0xF2};
    channel.OnMessage(shortAnswer);
    EXPECT_EQ(received, "\xF2");
    EXPECT_TRUE(event.WaitFor(0));  // set, so a heartbeat not yet waiting still sees it
    EXPECT_TRUE(log->Has("Received websocket short answer with id 00112233445566778899AABBCCDDEEFF"));

    received.clear();
    packetId = "FFEEDDCCBBAA99887766554433221100";
    channel.OnMessage(shortAnswer);
    EXPECT_EQ(received, "");
    EXPECT_FALSE(event.WaitFor(0));
    EXPECT_TRUE(log->Has("Unexpected response id"));
    EXPECT_TRUE(requests.empty());

    channel.OnMessage(std::vector<uint8_t>(16, 1));
    channel.OnMessage(std::vector<uint8_t>(18, 2));
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].size(), 16u);
    EXPECT_EQ(requests[1].size(), 18u);
    // Not connected: the answer has nowhere to go, and nothing raises.
    EXPECT_TRUE(log->Has("result size 6"));
    channel.SendData(ToBytes("nothing"));
}

TEST_F(SocketConnectorTest, OpenedAfterAGoodCycleAndDroppedWhenSwitchedOff) {
    std::atomic<int> upgrades{0};
    qztest::HostileServer server([&](qztest::HostileConnection& c) {
        const std::string& r = c.Request();
        const auto at = r.find("Sec-WebSocket-Key: ") + 19;
        c.Send("HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Accept: " +
               TWsHandshake::AcceptFor(r.substr(at, r.find("\r\n", at) - at)) + "\r\n\r\n");
        ++upgrades;
        while (c.Pause(50)) {
        }
    });
    url = "http://127.0.0.1:" + std::to_string(server.Port()) + "/server/guard";
    TSocketConnector channel(deps);
    channel.RefreshState();  // no good cycle yet
    EXPECT_FALSE(channel.Connected());
    channel.SetNeedToReconnect(true);
    channel.RefreshState();
    EXPECT_TRUE(channel.Connected());
    EXPECT_TRUE(qztest::WaitUntil([&] { return upgrades == 1; }));
    channel.RefreshState();  // still open: nothing new
    EXPECT_EQ(upgrades, 1);
    use = false;
    channel.RefreshState();
    EXPECT_FALSE(channel.Connected());
    use = true;
    channel.SetNeedToReconnect(false);  // a failed cycle
    channel.RefreshState();
    EXPECT_FALSE(channel.Connected());
}

}  // namespace
