#include "websocket/WsFrame.h"
#include "websocket/WsHandshake.h"

#include <random>

#include <gtest/gtest.h>

using namespace qz;

namespace {

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

// A frame as a server sends it: never masked.
std::vector<uint8_t> ServerFrame(uint8_t first, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> f{first};
    const size_t n = payload.size();
    if (n <= 125) {
        f.push_back(static_cast<uint8_t>(n));
    } else if (n <= 65535) {
        f.insert(f.end(), {126, static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n)});
    } else {
        f.push_back(127);
        for (int s = 56; s >= 0; s -= 8) f.push_back(static_cast<uint8_t>(uint64_t{n} >> s));
    }
    f.insert(f.end(), payload.begin(), payload.end());
    return f;
}

std::vector<uint8_t> Concat(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> all;
    for (const auto& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

TEST(WsFrames, ClientFramesAreMaskedInEachLengthForm) {
    struct Case {
        size_t size;
        size_t header;  // bytes before the mask key
        uint8_t lengthByte;
    } cases[] = {{0, 2, 0x80}, {125, 2, 0x80 | 125}, {126, 4, 0x80 | 126}, {65535, 4, 0x80 | 126},
                 {65536, 10, 0x80 | 127}, {70000, 10, 0x80 | 127}};
    std::mt19937 rng(3);
    for (const auto& c : cases) {
        std::vector<uint8_t> payload(c.size);
        for (auto& b : payload) b = static_cast<uint8_t>(rng());
        const uint32_t key = 0x11223344;
        const auto frame = EncodeClientFrame(TWSDataCode::wdcBinary, payload.data(), payload.size(), key);
        ASSERT_EQ(frame.size(), c.header + 4 + c.size);
        EXPECT_EQ(frame[0], 0x82);  // FIN, binary
        EXPECT_EQ(frame[1], c.lengthByte) << c.size;
        uint64_t length = c.size <= 125 ? frame[1] & 0x7F : 0;
        for (size_t i = 2; i < c.header; ++i) length = (length << 8) | frame[i];
        EXPECT_EQ(length, c.size);
        const uint8_t* k = frame.data() + c.header;
        EXPECT_EQ(k[0], 0x44);  // least significant byte first
        EXPECT_EQ(k[3], 0x11);
        std::vector<uint8_t> back(c.size);
        for (size_t i = 0; i < c.size; ++i) back[i] = frame[c.header + 4 + i] ^ k[i % 4];
        EXPECT_TRUE(back == payload) << c.size;
    }
    const auto ping = EncodeClientFrame(TWSDataCode::wdcPing, nullptr, 0, 7);
    EXPECT_EQ(ping[0], 0x89);
    const auto close = EncodeClientFrame(TWSDataCode::wdcClose, nullptr, 0, 7, true, true, false, true);
    EXPECT_EQ(close[0], 0x80 | 0x40 | 0x10 | 0x8);
    EXPECT_THROW(EncodeClientFrame(TWSDataCode::wdcNone, nullptr, 0, 7), EWebsocketError);
}

TEST(WsFrames, FragmentsMakeOneMessageAndControlFramesPassBetween) {
    const auto stream = Concat({ServerFrame(0x02, Bytes("frag")), ServerFrame(0x89, Bytes("are you there")),
                                ServerFrame(0x00, Bytes("ment")), ServerFrame(0x80, Bytes("ed")),
                                ServerFrame(0x81, Bytes("text")), ServerFrame(0x82, std::vector<uint8_t>(70000, 7))});
    // Whole, and one byte at a time: the same items in the same order.
    for (size_t step : {stream.size(), size_t{1}, size_t{3}}) {
        TWsFrameReader reader;
        std::vector<TWsMessage> got;
        for (size_t at = 0; at < stream.size(); at += step) {
            reader.Feed(stream.data() + at, std::min(step, stream.size() - at));
            while (auto m = reader.Next()) got.push_back(std::move(*m));
        }
        ASSERT_EQ(got.size(), 4u) << step;
        EXPECT_EQ(got[0].code, TWSDataCode::wdcPing);
        EXPECT_EQ(got[0].data, Bytes("are you there"));
        EXPECT_EQ(got[1].code, TWSDataCode::wdcBinary);
        EXPECT_EQ(got[1].data, Bytes("fragmented"));
        EXPECT_EQ(got[2].code, TWSDataCode::wdcText);
        EXPECT_EQ(got[3].data.size(), 70000u);
        EXPECT_FALSE(reader.HasPending());
    }
}

TEST(WsFrames, ViolationsAndBoundsResetTheConnection) {
    struct Case {
        const char* name;
        std::vector<uint8_t> bytes;
        const char* error;
        uint16_t code;
    } cases[] = {
        {"masked server frame", {0x82, 0x81, 1, 2, 3, 4, 5},
         "Mask supplied but mask is not allowed for servers when sending data to clients. Buffer = ", 1002},
        {"unknown opcode", {0x83, 0x00}, "Unsupported data code: 3. Buffer = #131#0", 1002},
        {"continuation first", ServerFrame(0x80, Bytes("x")), "Invalid frame continuation. Data = x", 1002},
        {"second start", Concat({ServerFrame(0x02, Bytes("a")), ServerFrame(0x82, Bytes("b\n"))}),
         "Invalid frame: specified data code only allowed for the first frame. Data = b#10", 1002},
        {"long ping", ServerFrame(0x89, std::vector<uint8_t>(126, 1)), "Invalid control frame", 1002},
        {"fragmented close", ServerFrame(0x08, {}), "Invalid control frame", 1002},
        {"too large", {0x82, 127, 0, 0, 0, 0, 0x01, 0, 0, 1}, "Message larger than 1024 bytes refused", 1009},
        {"huge length", {0x82, 127, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
         "Message larger than 1024 bytes refused", 1009},
        {"too large in pieces", Concat({ServerFrame(0x02, std::vector<uint8_t>(600)), ServerFrame(0x00, std::vector<uint8_t>(600))}),
         "Message larger than 1024 bytes refused", 1009},
        {"too many fragments",
         Concat({ServerFrame(0x02, {}), ServerFrame(0x00, {}), ServerFrame(0x00, {}), ServerFrame(0x00, {})}),
         "More than 3 frames in one message refused", 1009},
    };
    for (const auto& c : cases) {
        TWsFrameReader reader(TWsFrameReader::Limits{1024, 3});
        reader.Feed(c.bytes.data(), c.bytes.size());
        try {
            while (reader.Next()) {
            }
            ADD_FAILURE() << c.name << ": no error";
        } catch (const EWebsocketError& e) {
            EXPECT_EQ(std::string(e.what()).rfind(c.error, 0), 0u) << c.name << ": " << e.what();
            EXPECT_EQ(e.CloseCode(), c.code) << c.name;
        }
    }
}

TEST(WsHandshakes, TheAcceptValueAndTheResponseChecks) {
    // The example of the protocol's own description.
    EXPECT_EQ(TWsHandshake::AcceptFor("dGhlIHNhbXBsZSBub25jZQ=="), "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=");
    const std::string key = TWsHandshake::MakeKey();
    EXPECT_EQ(key.size(), 24u);
    const std::string accept = TWsHandshake::AcceptFor(key);
    struct Case {
        int status;
        const char* connection;
        const char* upgrade;
        std::string accept;
        std::string refusal;
    } cases[] = {
        {101, "Upgrade", "WebSocket", accept, ""},
        {403, "close", "", accept, "Error while upgrading: \"403: Forbidden\""},
        {101, "keep-alive", "websocket", accept, "Connection not upgraded: \"keep-alive\""},
        {101, "upgrade", "h2c", accept, "Not upgraded to websocket: \"h2c\""},
        {101, "upgrade", "websocket", "AAAA" + accept.substr(4), "Invalid key handshake"},
    };
    for (const auto& c : cases) {
        TWsHandshake::Response r;
        r.status = c.status;
        r.statusText = c.status == 403 ? "Forbidden" : "Switching Protocols";
        r.headers = {{"connection", c.connection}, {"upgrade", c.upgrade}, {"sec-websocket-accept", c.accept}};
        EXPECT_EQ(TWsHandshake::Check(r, key), c.refusal);
    }
    const std::string request = TWsHandshake::Request("guard.lab", 8080, "/server/guard7?hostname=LAB", key, false);
    EXPECT_EQ(request.rfind("GET http://guard.lab:8080//server/guard7?hostname=LAB HTTP/1.1\r\n", 0), 0u);
    EXPECT_NE(request.find("Sec-WebSocket-Key: " + key + "\r\n"), std::string::npos);
    EXPECT_NE(request.find("Origin: http://guard.lab:8080\r\n"), std::string::npos);
    EXPECT_EQ(request.substr(request.size() - 4), "\r\n\r\n");
}

TEST(WsHandshakes, TheResponseHeadIsReadWithinBounds) {
    const std::string head = "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
                             "Sec-WebSocket-Accept: abc=\r\n\r\n";
    const std::string frames = "\x82\x02hi";
    const std::string all = head + frames;
    TWsHandshake h;
    size_t used = 0;
    for (size_t at = 0; at < all.size() && !h.Complete(); at += 5) used += h.Feed(all.data() + at, std::min<size_t>(5, all.size() - at));
    ASSERT_TRUE(h.Complete());
    EXPECT_EQ(used, head.size());  // the frame bytes after it are left
    EXPECT_EQ(h.Result().status, 101);
    EXPECT_EQ(h.Result().headers.at("sec-websocket-accept"), "abc=");

    TWsHandshake longLine;
    const std::string huge = "HTTP/1.1 101 OK\r\nX: " + std::string(9000, 'a');
    EXPECT_THROW(longLine.Feed(huge.data(), huge.size()), EWebsocketError);
    TWsHandshake many;
    std::string lots = "HTTP/1.1 101 OK\r\n";
    for (int i = 0; i < 101; ++i) lots += "X-" + std::to_string(i) + ": 1\r\n";
    EXPECT_THROW(many.Feed(lots.data(), lots.size()), EWebsocketError);
    TWsHandshake notHttp;
    EXPECT_THROW(notHttp.Feed("SSH-2.0\r\n", 9), EWebsocketError);
}

}  // namespace
