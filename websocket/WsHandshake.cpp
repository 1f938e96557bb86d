#include "websocket/WsHandshake.h"

#include <mutex>
#include <random>

#include "common/Crypto.h"
#include "common/Text.h"
#include "platform/AsciiCase.h"
#include "websocket/WsFrame.h"

namespace qz {

std::string TWsHandshake::MakeKey() {
    static std::mutex lock;
    static std::mt19937 rng{std::random_device{}()};
    std::lock_guard<std::mutex> hold(lock);
    TBytes chars(16);
    for (auto& c : chars) c = static_cast<uint8_t>(32 + rng() % 95);
    return TBase64::EncodeBase64(chars);
}

std::string TWsHandshake::AcceptFor(const std::string& key) {
    return TBase64::EncodeBase64(TCrypto::CalculateSHA1(ToBytes(Trim(key) + Guid)));
}

std::string TWsHandshake::Request(const std::string& host, uint16_t port, const std::string& resourceName,
                                  const std::string& key, bool tls) {
    const std::string origin = std::string(tls ? "https" : "http") + "://" + host + ":" + std::to_string(port);
    return "GET " + origin + "/" + resourceName + " HTTP/1.1\r\n" +
           "Host: " + host + ":" + std::to_string(port) + "\r\n" +
           "Upgrade: websocket\r\n"
           "Connection: upgrade\r\n"
           "Sec-WebSocket-Key: " + key + "\r\n"
           "Sec-WebSocket-Version: 13\r\n"
           // No extensions header: an empty one is malformed, and strict servers refuse the upgrade for it.
           "Cache-Control: no-cache\r\n"
           "Pragma: no-cache\r\n"
           "Origin: " + origin + "\r\n\r\n";
}

size_t TWsHandshake::Feed(const char* data, size_t size) {
    size_t used = 0;
    while (used < size && !FComplete) {
        const char c = data[used++];
        if (c != '\n') {
            if (FLine.size() >= MaxLineBytes)
                throw EWebsocketError("Handshake line longer than " + std::to_string(MaxLineBytes) + " bytes refused");
            FLine += c;
            continue;
        }
        if (!FLine.empty() && FLine.back() == '\r') FLine.pop_back();
        Line(FLine);
        FLine.clear();
    }
    return used;
}

void TWsHandshake::Line(const std::string& line) {
    if (!FStatusRead) {
        // "HTTP/1.1 101 Switching Protocols"
        if (line.rfind("HTTP/", 0) != 0) throw EWebsocketError("Not an HTTP response: " + line.substr(0, 64));
        const auto sp = line.find(' ');
        const auto sp2 = sp == std::string::npos ? sp : line.find(' ', sp + 1);
        const std::string code = sp == std::string::npos ? "" : line.substr(sp + 1, sp2 == std::string::npos ? std::string::npos : sp2 - sp - 1);
        const auto n = TryParseInt32(code);
        if (!n || *n < 100 || *n > 999) throw EWebsocketError("Not an HTTP response: " + line.substr(0, 64));
        FResponse.status = *n;
        FResponse.statusText = sp2 == std::string::npos ? "" : line.substr(sp2 + 1);
        FStatusRead = true;
        return;
    }
    if (line.empty()) {
        FComplete = true;
        return;
    }
    if (FResponse.headers.size() >= MaxHeaders)
        throw EWebsocketError("More than " + std::to_string(MaxHeaders) + " handshake headers refused");
    const auto colon = line.find(':');
    if (colon == std::string::npos) return;  // not a header: ignored
    FResponse.headers[platform::AsciiLower(Trim(line.substr(0, colon)))] = Trim(line.substr(colon + 1));
}

std::string TWsHandshake::Check(const Response& r, const std::string& key) {
    auto header = [&](const char* name) {
        auto it = r.headers.find(name);
        return it == r.headers.end() ? std::string() : it->second;
    };
    if (r.status != 101)
        return "Error while upgrading: \"" + std::to_string(r.status) + ": " + r.statusText + "\"";
    if (platform::AsciiLower(header("connection")) != "upgrade")
        return "Connection not upgraded: \"" + header("connection") + "\"";
    if (platform::AsciiLower(header("upgrade")) != "websocket")
        return "Not upgraded to websocket: \"" + header("upgrade") + "\"";
    if (platform::AsciiLower(header("sec-websocket-accept")) != platform::AsciiLower(AcceptFor(key)))
        return "Invalid key handshake";
    return {};
}

}  // namespace qz
