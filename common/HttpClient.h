#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
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
// The whole exchange ends within connect + read time-out, whatever the server does.
// What a download may take: each wait on the network, the whole transfer, the body's size.
struct TDownloadLimits {
    uint32_t connectMs = 20000;
    uint32_t readMs = 60000;
    uint32_t totalMs = 30 * 60 * 1000;
    uint64_t maxBytes = 64u << 20;
};

// Receives a body as it arrives; false stops the transfer.
using TBodySink = std::function<bool(const char* data, size_t size)>;

class THttpTransport {
public:
    virtual ~THttpTransport() = default;
    virtual THttpReply Request(const std::string& method, const std::string& url, const std::string& body,
                               uint32_t connectTimeoutMs, uint32_t readTimeoutMs) = 0;
    // A GET whose body goes to the sink as it arrives (the reply's own body
    // stays empty). A body beyond maxBytes, or a sink that says stop, fails
    // the transfer. Transports that can't stream hand over the whole body.
    virtual THttpReply Download(const std::string& url, const TBodySink& sink, const TDownloadLimits& limits);
    // Ends the requests under way and fails every later one at once; for shutting down.
    virtual void Cancel() {}
};

class THttpClientTransport : public THttpTransport {
public:
    // What a reply may be; more is refused rather than held in memory.
    static constexpr size_t MaxReplyBytes = 16u << 20;
    static constexpr size_t MaxHeaderLineBytes = 8192;   // the status line and each header line
    static constexpr size_t MaxHeaderCount = 100;
    // How often a waiting read looks at the clock and at Cancel.
    static constexpr uint32_t WaitSliceMs = 500;

    THttpReply Request(const std::string& method, const std::string& url, const std::string& body,
                       uint32_t connectTimeoutMs, uint32_t readTimeoutMs) override;
    THttpReply Download(const std::string& url, const TBodySink& sink, const TDownloadLimits& limits) override;
    void Cancel() override { FCancelled = true; }

private:
    THttpReply Exchange(const std::string& method, const std::string& url, const std::string& body,
                        const TDownloadLimits& limits, const TBodySink& sink);
    std::atomic<bool> FCancelled{false};
};

}  // namespace qz
