#pragma once
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace qz {

// The opening handshake of the client: the key, the upgrade request, the
// server's response head read within bounds, and its check.
class TWsHandshake {
public:
    static constexpr const char* Guid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    static constexpr size_t MaxLineBytes = 8192;
    static constexpr size_t MaxHeaders = 100;

    // Base64 of 16 characters drawn from the printable range 32 to 126.
    static std::string MakeKey();
    static std::string AcceptFor(const std::string& key);
    // The GET request; the target is scheme://host:port/ followed by the
    // resource name, as the server expects it.
    static std::string Request(const std::string& host, uint16_t port, const std::string& resourceName,
                               const std::string& key, bool tls);

    struct Response {
        int status = 0;
        std::string statusText;
        std::map<std::string, std::string> headers;  // lower-case names
    };
    // Reads the response head from bytes as they come. Feed answers how
    // many of the bytes belong to the head (the rest are frames already);
    // raises EWebsocketError when the head breaks a bound or isn't HTTP.
    size_t Feed(const char* data, size_t size);
    bool Complete() const { return FComplete; }
    const Response& Result() const { return FResponse; }

    // Empty when the response accepts the upgrade, else the refusal reason.
    static std::string Check(const Response& response, const std::string& key);

private:
    void Line(const std::string& line);
    std::string FLine;
    bool FComplete = false;
    bool FStatusRead = false;
    Response FResponse;
};

}  // namespace qz
