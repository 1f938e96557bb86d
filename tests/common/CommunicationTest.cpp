#include "common/Communication.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <thread>

#include "common/SocketError.h"
#include "common/Utils.h"
#include "tests/support/TestSupport.h"

using namespace qz;
using qztest::PlatformTest;

namespace {

struct Sent {
    std::string method, url, body;
    uint32_t readTimeout = 0;
};

// Records each request and answers from a script.
class ScriptedTransport : public THttpTransport {
public:
    std::vector<Sent> sent;
    std::function<THttpReply(const Sent&)> answer = [](const Sent&) {
        THttpReply r;
        r.ok = true;
        r.status = 200;
        r.body = std::string(1, '\xF2');
        return r;
    };
    THttpReply Request(const std::string& method, const std::string& url, const std::string& body, uint32_t,
                       uint32_t readTimeoutMs) override {
        sent.push_back({method, url, body, readTimeoutMs});
        return answer(sent.back());
    }
};

THttpReply Body(const std::string& body) {
    THttpReply r;
    r.ok = true;
    r.status = 200;
    r.body = body;
    return r;
}

std::string QueryValue(const std::string& url, const std::string& name) {
    const size_t at = url.find(name + "=");
    if (at == std::string::npos) return {};
    const size_t start = at + name.size() + 1;
    return url.substr(start, url.find('&', start) - start);
}

std::string Unescape(std::string s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '%' && i + 2 < s.size()) {
            out += static_cast<char>(std::stoi(s.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += s[i];
        }
    }
    return out;
}

const std::string kHash = "CGCbzzh9ExYqUp+8Dt/1CA==";  // "harbour"

class CommunicationTest : public PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        W().computerName = "LAB PC";
        transport = std::make_shared<ScriptedTransport>();
        comm = std::make_unique<TCommunicationModule>(transport);
        params.ServerUrl = "http://guard.example:8080/server";
        params.PasswordHash = kHash;
        params.ListenerPort = 8087;
        T10054SocketError::ReleaseInstance();
    }
    void TearDown() override {
        T10054SocketError::ReleaseInstance();
        PlatformTest::TearDown();
    }
    // The one-time key the server would recover from a key-exchange address.
    std::string KeyOf(const std::string& url, const std::string& param) {
        const TBytes e = TBase64::DecodeBase64(Unescape(QueryValue(url, param)));
        return ToText(TCrypto::Decrypt(e, TBase64::DecodeBase64(kHash)));
    }
    void AddPciAdapter(const std::string& id, const std::vector<uint8_t>& mac, uint32_t status = 1,
                       const std::string& pnp = "PCI\\VEN_8086") {
        platform::reg::SetString(
            {platform::reg::Hive::LocalMachine,
             "SYSTEM\\CurrentControlSet\\Control\\Network\\{4D36E972-E325-11CE-BFC1-08002BE10318}\\" + id +
                 "\\Connection"},
            "PnpInstanceID", pnp);
        W().adapterAddresses->push_back({id, mac, status});
    }
    std::shared_ptr<ScriptedTransport> transport;
    std::unique_ptr<TCommunicationModule> comm;
    TServerParams params;
};

}  // namespace

TEST(PathEncode, ReferenceValues) {
    const std::pair<std::string, std::string> cases[] = {
        {"MY PC", "MY%20PC"},
        {"LAB-07", "LAB-07"},
        {"a*b<c>d#e%f\"g{h}i|j\\k^l[m]n`o+p", "a%2Ab%3Cc%3Ed%23e%25f%22g%7Bh%7Di%7Cj%5Ck%5El%5Bm%5Dn%60o%2Bp"},
        {"AA:BB:CC:DD:EE:FF", "AA:BB:CC:DD:EE:FF"},
        {"caf\xc3\xa9", "caf%C3%A9"},
        {"x=1&y/z:w", "x=1&y/z:w"},
        {std::string("\x01\x7f", 2), "%01\x7f"},
    };
    for (const auto& [in, out] : cases) EXPECT_EQ(TCommunicationModule::PathEncode(in), out) << in;
}

TEST(DecodeResponse, Outcomes) {
    const TBytes key = ToBytes("secret");
    const struct {
        std::string reply;
        TRequestResult result;
        std::string text;
    } cases[] = {
        {"\xF0", TRequestResult::rrNotRecognizeResponse, ""},
        {"\xF1", TRequestResult::rrDecryptFailed, ""},
        {"\xF2", TRequestResult::rrNoChange, ""},
        {"\xF3", TRequestResult::rrStationBanned, ""},
        {"A", TRequestResult::rrError, ""},
        {"", TRequestResult::rrError, ""},
        {std::string(15, 'x'), TRequestResult::rrError, ""},
        {ToText(TCrypto::Encrypt(ToBytes("<ok/>"), key)), TRequestResult::rrOk, "<ok/>"},
    };
    for (const auto& c : cases) {
        TRequestResult r = TRequestResult::rrOk;
        EXPECT_EQ(TCommunicationModule::DecodeResponse(c.reply, key, r), c.text);
        EXPECT_EQ(r, c.result) << RequestResultName(c.result);
    }
}

TEST_F(CommunicationTest, EmptyReplyIsAnErrorWithTheCipherMessage) {
    TRequestResult r;
    TCommunicationModule::DecodeResponse("", ToBytes("k"), r);
    EXPECT_EQ(r, TRequestResult::rrError);
    EXPECT_TRUE(log->Has("decode response error=Invalid file format"));
}

TEST_F(CommunicationTest, CommunicateAddressAndBody) {
    const TBytes password = ToBytes("conn-pass");
    transport->answer = [&](const Sent&) { return Body(ToText(TCrypto::Encrypt(ToBytes("<reply/>"), password))); };
    TRequestResult r;
    EXPECT_EQ(comm->Communicate("<state/>", password, "", params, r), "<reply/>");
    EXPECT_EQ(r, TRequestResult::rrOk);
    ASSERT_EQ(transport->sent.size(), 1u);
    const Sent& s = transport->sent[0];
    EXPECT_EQ(s.method, "POST");
    // No physical adapter: the address ends with "&".
    EXPECT_EQ(s.url, "http://guard.example:8080/server/guard?hostname=LAB%20PC&");
    EXPECT_EQ(ToText(TCrypto::Decrypt(ToBytes(s.body), password)), "<state/>");
    EXPECT_EQ(s.readTimeout, 60000u);
    EXPECT_TRUE(log->Has("Requesting the server"));
    EXPECT_TRUE(log->Has("Request string - " + s.url));

    AddPciAdapter("{A1}", {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0x01});
    params.ServerUrl += "/";
    comm->Communicate("<state/>", password, "123", params, r);
    EXPECT_EQ(transport->sent[1].url,
              "http://guard.example:8080/server/guard?hostname=LAB%20PC&nochange=123&mac=AA:BB:CC:DD:EE:01");
}

TEST_F(CommunicationTest, KeyExchangeRequests) {
    // The server answers under the one-time key it finds in the address.
    std::string lastKey;
    transport->answer = [&](const Sent& s) {
        for (const char* p : {"register_me", "test", "give_station_register", "add_ws"})
            if (!QueryValue(s.url, p).empty()) lastKey = KeyOf(s.url, p);
        return Body(ToText(TCrypto::Encrypt(ToBytes("<answer/>"), ToBytes(lastKey))));
    };
    TRequestResult r;
    EXPECT_EQ(comm->RegisterMe(params, r), "<answer/>");
    EXPECT_EQ(r, TRequestResult::rrOk);
    const std::string reg = transport->sent[0].url;
    EXPECT_EQ(transport->sent[0].method, "GET");
    EXPECT_EQ(reg.substr(0, reg.find('?')), "http://guard.example:8080/server/guard");
    EXPECT_NE(reg.find("&f=13&platform=Win32NT&guard_port=8087&hostname=LAB%20PC&"), std::string::npos) << reg;
    EXPECT_GE(lastKey.size(), 2u);
    EXPECT_LE(lastKey.size(), 10u);
    EXPECT_EQ(lastKey.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_TRUE(log->Has("Register URL=" + reg));

    EXPECT_EQ(comm->TestConnection(params, r), "<answer/>");
    EXPECT_EQ(transport->sent[1].readTimeout, 2000u);
    EXPECT_NE(transport->sent[1].url.find("?test="), std::string::npos);
    EXPECT_NE(transport->sent[1].url.find("&hostname=LAB%20PC&"), std::string::npos);

    EXPECT_EQ(comm->GetStationDirectory(params, r), "<answer/>");
    EXPECT_EQ(transport->sent[2].readTimeout, 2000u);
    EXPECT_EQ(transport->sent[2].url.find("&"), std::string::npos);

    EXPECT_EQ(comm->RegisterStation("<ws/>", params, r), "<answer/>");
    EXPECT_EQ(transport->sent[3].method, "POST");
    EXPECT_EQ(ToText(TCrypto::Decrypt(ToBytes(transport->sent[3].body), ToBytes(lastKey))), "<ws/>");
    EXPECT_TRUE(log->Has("hash=" + kHash));

    // Each exchange has its own key.
    EXPECT_NE(KeyOf(transport->sent[0].url, "register_me"), KeyOf(transport->sent[1].url, "test"));
}

TEST_F(CommunicationTest, TransportFailuresAreErrors) {
    transport->answer = [](const Sent&) {
        THttpReply r;
        r.status = 500;
        r.error = "HTTP/1.1 500 Internal Server Error";
        return r;
    };
    TRequestResult r = TRequestResult::rrOk;
    EXPECT_EQ(comm->Communicate("<s/>", ToBytes("p"), "", params, r), "");
    EXPECT_EQ(r, TRequestResult::rrError);
    EXPECT_TRUE(log->Has("communicate error HTTP/1.1 500 Internal Server Error"));
    r = TRequestResult::rrOk;
    comm->RegisterMe(params, r);
    EXPECT_EQ(r, TRequestResult::rrError);
    EXPECT_TRUE(log->Has("web request failed HTTP/1.1 500 Internal Server Error"));
}

TEST_F(CommunicationTest, ConnectionResetsRestartTheAgentAndRaiseTheThreshold) {
    T10054SocketError::Instance()->Start();
    EXPECT_EQ(T10054SocketError::Instance()->MaxValue(), 2);
    int socketError = 10054;
    transport->answer = [&](const Sent&) {
        THttpReply r;
        r.error = "Failed to read connection";
        r.socketError = socketError;
        return r;
    };
    TRequestResult r;
    const std::string restart = "Number of socket error is exceeded. It is time to restart.";
    comm->Communicate("<s/>", ToBytes("p"), "", params, r);
    EXPECT_FALSE(log->Has(restart));
    comm->RegisterMe(params, r);
    EXPECT_TRUE(log->Has(restart));
    EXPECT_EQ(TUtils::ReadIntegerRegistryKey("Socket10054"), 4);
    // Other socket errors and the manager's requests don't count.
    socketError = 10061;
    comm->Communicate("<s/>", ToBytes("p"), "", params, r);
    socketError = 10054;
    comm->TestConnection(params, r);
    EXPECT_EQ(T10054SocketError::Instance()->Counter(), 2);

    T10054SocketError::Instance()->Reset();
    EXPECT_EQ(TUtils::ReadIntegerRegistryKey("Socket10054"), 2);
    EXPECT_ANY_THROW(T10054SocketError());
    EXPECT_ANY_THROW(T10054SocketError::AccessInstance(7));
}

TEST_F(CommunicationTest, StoredThresholdIsUsedAndCapped) {
    TUtils::WriteIntegerRegistryKey("Socket10054", 20);
    T10054SocketError::Instance()->Start();
    for (int i = 0; i < 20; ++i) T10054SocketError::Instance()->HandleException(10054);
    EXPECT_TRUE(log->Has("Number of socket error is exceeded. It is time to restart."));
    EXPECT_EQ(TUtils::ReadIntegerRegistryKey("Socket10054"), 20);
}

TEST_F(CommunicationTest, PhysicalAdapters) {
    AddPciAdapter("{a1}", {0xaa, 0xbb, 0xcc, 0, 0, 1});
    AddPciAdapter("{B2}", {0xaa, 0xbb, 0xcc, 0, 0, 1});             // same address again
    AddPciAdapter("{C3}", {1, 2, 3, 4, 5, 6}, 7);                    // lower layer down
    AddPciAdapter("{D4}", {1, 2, 3, 4, 5, 7}, 1, "ROOT\\NET\\0000");  // virtual
    AddPciAdapter("{E5}", {}, 1);                                    // no hardware address
    AddPciAdapter("{F6}", {0x10, 0x20, 0x30, 0x40, 0x50, 0x60}, 2);
    W().adapterAddresses->push_back({"{NOTINREGISTRY}", {9, 9, 9, 9, 9, 9}, 1});
    std::vector<std::string> macs;
    EXPECT_TRUE(GetPhysicalAdapterMacs(macs));
    EXPECT_EQ(macs, (std::vector<std::string>{"AA:BB:CC:00:00:01", "10:20:30:40:50:60"}));
    EXPECT_EQ(TCommunicationModule::GetMacAddressParameters(), "mac=AA:BB:CC:00:00:01&mac=10:20:30:40:50:60");

    W().adapterAddresses.reset();
    EXPECT_FALSE(GetPhysicalAdapterMacs(macs));
    EXPECT_TRUE(macs.empty());
}

TEST_F(CommunicationTest, PrimaryMac) {
    using Bytes = std::vector<uint8_t>;
    W().bestInterface["10.0.0.5"] = {0xAB, 0xCD, 0xEF, 1, 2, 3};
    const struct {
        std::vector<std::optional<Bytes>> netbios;
        std::string url, mac;
    } cases[] = {
        {{Bytes{0, 0, 0, 0, 0, 0}, Bytes{0x0A, 0x0B, 0x0C, 1, 2, 3}}, "http://10.0.0.5/s", "0A:0B:0C:01:02:03"},
        {{}, "http://10.0.0.5:8080/s", "ab:cd:ef:01:02:03"},
        {{std::nullopt, Bytes{1, 1, 1, 1, 1, 1}}, "https://10.0.0.5/s", "ab:cd:ef:01:02:03"},
        {{Bytes{0, 0, 0, 0, 0, 0}}, "http://10.0.0.5/s", "ab:cd:ef:01:02:03"},
        {{}, "http://10.9.9.9/s", ""},
        {{}, "not a url", ""},
    };
    for (const auto& c : cases) {
        W().netbiosStatuses = c.netbios;
        EXPECT_EQ(GetPrimaryMac(c.url), c.mac) << c.url;
    }
}

// The real client against a real local server.
class RealHttpTest : public PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        port = server.bind_to_any_port("127.0.0.1");
        thread = std::thread([this] { server.listen_after_bind(); });
        qztest::WaitUntil([this] { return server.is_running(); }, 5000);
        params.ServerUrl = "http://127.0.0.1:" + std::to_string(port) + "/server";
        params.PasswordHash = kHash;
    }
    void TearDown() override {
        server.stop();
        thread.join();
        PlatformTest::TearDown();
    }
    httplib::Server server;
    std::thread thread;
    int port = 0;
    TServerParams params;
};

TEST_F(RealHttpTest, ExchangeOverHttp) {
    const TBytes password = ToBytes("pw");
    std::string seenQuery, seenBody;
    server.Post("/server/guard", [&](const httplib::Request& req, httplib::Response& res) {
        seenQuery = req.get_param_value("hostname");
        seenBody = req.body;
        res.set_content(ToText(TCrypto::Encrypt(ToBytes("<back/>"), password)), "application/octet-stream");
    });
    TCommunicationModule comm;
    TRequestResult r;
    W().computerName = "LAB-07";
    EXPECT_EQ(comm.Communicate("<doc/>", password, "", params, r), "<back/>");
    EXPECT_EQ(r, TRequestResult::rrOk);
    EXPECT_EQ(seenQuery, "LAB-07");
    EXPECT_EQ(ToText(TCrypto::Decrypt(ToBytes(seenBody), password)), "<doc/>");
}

TEST_F(RealHttpTest, OversizedSlowAndMissingReplies) {
    server.Post("/server/guard", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(std::string(THttpClientTransport::MaxReplyBytes + 1, 'x'), "application/octet-stream");
    });
    server.Get("/server/guard", [](const httplib::Request&, httplib::Response& res) {
        std::this_thread::sleep_for(std::chrono::milliseconds(3000));
        res.set_content("late", "text/plain");
    });
    TCommunicationModule comm;
    TRequestResult r = TRequestResult::rrOk;
    EXPECT_EQ(comm.Communicate("<doc/>", ToBytes("pw"), "", params, r), "");
    EXPECT_EQ(r, TRequestResult::rrError);
    EXPECT_TRUE(log->Has("communicate error Reply larger than 16777216 bytes refused"));

    // The connection test gives up after two seconds.
    r = TRequestResult::rrOk;
    comm.TestConnection(params, r);
    EXPECT_EQ(r, TRequestResult::rrError);

    params.ServerUrl = "http://127.0.0.1:" + std::to_string(port) + "/nowhere";
    r = TRequestResult::rrOk;
    comm.Communicate("<doc/>", ToBytes("pw"), "", params, r);
    EXPECT_EQ(r, TRequestResult::rrError);
    EXPECT_TRUE(log->Has("communicate error HTTP/1.1 404 Not Found"));
}
