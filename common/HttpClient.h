#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace qz {

struct THttpReply {
    bool ok = false;          // a reply with a success status arrived
    int status = 0;           // HTTP status, 0 when none arrived
    std::string body;
    std::string error;        // why it failed, for the log
    int socketError = 0;      // Windows numbering; 10054 for a connection reset
};

// One request on a fresh connection. Addresses may be http:// or https://;
// TLS 1.0 to 1.2 without certificate checks, as lab servers use self-signed ones.
class THttpTransport {
public:
    virtual ~THttpTransport() = default;
    virtual THttpReply Request(const std::string& method, const std::string& url, const std::string& body,
                               uint32_t connectTimeoutMs, uint32_t readTimeoutMs) = 0;
};

class THttpClientTransport : public THttpTransport {
public:
    // A reply larger than this is refused rather than held in memory.
    static constexpr size_t MaxReplyBytes = 16u << 20;
    THttpReply Request(const std::string& method, const std::string& url, const std::string& body,
                       uint32_t connectTimeoutMs, uint32_t readTimeoutMs) override;
};

}  // namespace qz
