#include "common/HttpClient.h"

#include <atomic>
#include <algorithm>
#include <chrono>
#include <cstring>
#include <functional>
#include <stdexcept>

#include <httplib.h>

#include "common/Url.h"
#include "platform/Network.h"

namespace qz {

namespace {

using Clock = std::chrono::steady_clock;

// What one exchange may still spend, and why it stopped when it did.
struct TExchange {
    const std::atomic<bool>* cancelled = nullptr;
    Clock::time_point deadline;
    std::chrono::milliseconds readTimeout{0};
    std::string refusal;  // set when a bound ended the exchange
    int socketError = 0;  // of the read that failed, taken before anything else can change it
};

// The stream the HTTP library reads the reply through. It waits in short
// slices, so the overall deadline and Cancel take effect while a server is
// silent, and bounds what a reply head may be: the library itself would grow
// a header line without limit and accept any number of them.
class TBoundedStream : public httplib::Stream {
public:
    TBoundedStream(httplib::Stream& inner, TExchange& ex, std::function<bool()> pending)
        : s_(inner), ex_(ex), pending_(std::move(pending)) {}

    bool is_readable() const override { return s_.is_readable(); }
    bool is_writable() const override { return s_.is_writable(); }
    void get_remote_ip_and_port(std::string& ip, int& port) const override { s_.get_remote_ip_and_port(ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { s_.get_local_ip_and_port(ip, port); }
    socket_t socket() const override { return s_.socket(); }

    ssize_t read(char* ptr, size_t size) override {
        // Bytes are taken from the connection in blocks and handed out from
        // here: a block held inside the inner stream would be invisible to
        // the readiness test and look like silence.
        if (off_ == len_) {
            if (!Wait([this] { return (pending_ && pending_()) || s_.is_readable(); }, ex_.readTimeout)) return -1;
            const ssize_t n = s_.read(buf_, sizeof buf_);
            if (n < 0 && !ex_.socketError) ex_.socketError = platform::net::LastSocketError();
            if (n <= 0) return n;
            off_ = 0;
            len_ = static_cast<size_t>(n);
        }
        const size_t n = std::min(size, len_ - off_);
        std::memcpy(ptr, buf_ + off_, n);
        off_ += n;
        if (!Account(ptr, n, size)) return -1;
        return static_cast<ssize_t>(n);
    }

    ssize_t write(const char* ptr, size_t size) override {
        if (!Wait([this] { return s_.is_writable(); }, ex_.readTimeout)) return -1;
        return s_.write(ptr, size);
    }

private:
    template <typename Ready>
    bool Wait(Ready ready, std::chrono::milliseconds limit) {
        const auto end = std::min(ex_.deadline, Clock::now() + limit);
        for (;;) {
            // Limits first: a server that keeps the line busy must not keep the exchange alive.
            if (ex_.cancelled && ex_.cancelled->load()) return Refuse("Request cancelled");
            const auto now = Clock::now();
            if (now >= ex_.deadline) return Refuse("Exchange took longer than its time limit");
            if (now >= end) return Refuse("Read timed out");
            if (ready()) return true;  // each look waits up to one slice
        }
    }

    // The library reads the reply head, and chunk sizes, one byte at a time.
    bool Account(const char* ptr, size_t n, size_t asked) {
        if (asked != 1) {
            lineBytes_ = 0;
            return true;
        }
        if (*ptr != '\n') {
            if (++lineBytes_ > THttpClientTransport::MaxHeaderLineBytes)
                return Refuse("Reply header line longer than " +
                              std::to_string(THttpClientTransport::MaxHeaderLineBytes) + " bytes refused");
            return true;
        }
        const bool blank = lineBytes_ <= 1;  // "\r\n" or "\n"
        lineBytes_ = 0;
        if (inHead_) {
            if (blank && lines_ > 0) {
                inHead_ = false;
            } else if (++lines_ > THttpClientTransport::MaxHeaderCount + 1) {
                return Refuse("More than " + std::to_string(THttpClientTransport::MaxHeaderCount) +
                              " reply headers refused");
            }
        }
        return true;
    }

    bool Refuse(const std::string& why) {
        if (ex_.refusal.empty()) ex_.refusal = why;
        return false;
    }

    httplib::Stream& s_;
    TExchange& ex_;
    std::function<bool()> pending_;
    char buf_[16 * 1024];
    size_t off_ = 0, len_ = 0;
    size_t lineBytes_ = 0;
    size_t lines_ = 0;  // the status line and the headers so far
    bool inHead_ = true;
};

// The library's clients, reading through the bounded stream. They follow the
// library's own socket processing, which they replace.
class TPlainClient : public httplib::ClientImpl {
public:
    TPlainClient(const std::string& host, int port, TExchange& ex) : httplib::ClientImpl(host, port), ex_(ex) {}

private:
    bool process_socket(const Socket& socket, std::function<bool(httplib::Stream&)> callback) override {
        return httplib::detail::process_client_socket(socket.sock, read_timeout_sec_, read_timeout_usec_,
                                                      write_timeout_sec_, write_timeout_usec_,
                                                      [&](httplib::Stream& strm) {
                                                          TBoundedStream bounded(strm, ex_, nullptr);
                                                          return callback(bounded);
                                                      });
    }
    TExchange& ex_;
};

class TTlsClient : public httplib::SSLClient {
public:
    TTlsClient(const std::string& host, int port, TExchange& ex) : httplib::SSLClient(host, port), ex_(ex) {}

private:
    bool process_socket(const Socket& socket, std::function<bool(httplib::Stream&)> callback) override {
        SSL* ssl = socket.ssl;
        return httplib::detail::process_client_socket_ssl(
            ssl, socket.sock, read_timeout_sec_, read_timeout_usec_, write_timeout_sec_, write_timeout_usec_,
            [&](httplib::Stream& strm) {
                // Bytes already decrypted are ready although the socket has nothing new.
                TBoundedStream bounded(strm, ex_, [ssl] { return SSL_pending(ssl) > 0; });
                return callback(bounded);
            });
    }
    TExchange& ex_;
};

void SetTimeouts(httplib::ClientImpl& client, uint32_t connectMs) {
    client.set_keep_alive(false);
    client.set_connection_timeout(connectMs / 1000, (connectMs % 1000) * 1000);
    // The real read limit is the stream's; the library's own only sets the slice.
    constexpr uint32_t slice = THttpClientTransport::WaitSliceMs;
    client.set_read_timeout(slice / 1000, (slice % 1000) * 1000);
    client.set_write_timeout(slice / 1000, (slice % 1000) * 1000);
}

}  // namespace

THttpReply THttpTransport::Download(const std::string& url, const TBodySink& sink, const TDownloadLimits& limits) {
    THttpReply reply = Request("GET", url, "", limits.connectMs, limits.readMs);
    std::string body;
    body.swap(reply.body);
    if (body.size() > limits.maxBytes) {
        reply.ok = false;
        reply.error = "Reply larger than " + std::to_string(limits.maxBytes) + " bytes refused";
    } else if (!body.empty() && !sink(body.data(), body.size())) {
        reply.ok = false;
        reply.error = "Transfer stopped";
    }
    return reply;
}

THttpReply THttpClientTransport::Request(const std::string& method, const std::string& url, const std::string& body,
                                         uint32_t connectTimeoutMs, uint32_t readTimeoutMs) {
    std::string received;
    TDownloadLimits limits;
    limits.connectMs = connectTimeoutMs;
    limits.readMs = readTimeoutMs;
    limits.totalMs = connectTimeoutMs + readTimeoutMs;
    limits.maxBytes = MaxReplyBytes;
    THttpReply reply = Exchange(method, url, body, limits, [&](const char* data, size_t len) {
        received.append(data, len);
        return true;
    });
    // A transfer that broke off leaves no body: half a reply is no reply.
    if (reply.status != 0) reply.body = std::move(received);
    return reply;
}

THttpReply THttpClientTransport::Download(const std::string& url, const TBodySink& sink, const TDownloadLimits& limits) {
    return Exchange("GET", url, "", limits, sink);
}

THttpReply THttpClientTransport::Exchange(const std::string& method, const std::string& url, const std::string& body,
                                          const TDownloadLimits& limits, const TBodySink& sink) {
    const uint32_t connectTimeoutMs = limits.connectMs, readTimeoutMs = limits.readMs;
    THttpReply reply;
    if (FCancelled) {
        reply.error = "Request cancelled";
        return reply;
    }
    TUrlParts parts;
    try {
        parts = SplitUrl(url);
    } catch (const std::exception& e) {
        reply.error = e.what();
        return reply;
    }
    TExchange ex;
    ex.cancelled = &FCancelled;
    ex.readTimeout = std::chrono::milliseconds(readTimeoutMs);
    ex.deadline = Clock::now() + std::chrono::milliseconds(uint64_t{limits.totalMs});

    std::unique_ptr<httplib::ClientImpl> client;
    if (parts.scheme == "https") {
        auto tls = std::make_unique<TTlsClient>(parts.host, parts.port, ex);
        tls->enable_server_certificate_verification(false);
        if (SSL_CTX* ctx = tls->ssl_context()) {
            SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION);
            SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
            // Old lab servers still speak TLS 1.0 with old ciphers.
            SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");
        }
        client = std::move(tls);
    } else {
        client = std::make_unique<TPlainClient>(parts.host, parts.port, ex);
    }
    SetTimeouts(*client, connectTimeoutMs);

    httplib::Request req;
    req.method = method;
    req.path = parts.target;
    if (method == "POST") {
        req.body = body;
        req.set_header("Content-Type", "application/octet-stream");
    }
    bool tooLarge = false, stopped = false;
    uint64_t received = 0;
    req.content_receiver = [&](const char* data, size_t len, uint64_t, uint64_t) {
        if (received + len > limits.maxBytes) {
            tooLarge = true;
            return false;
        }
        received += len;
        if (!sink(data, len)) {
            stopped = true;
            return false;
        }
        return true;
    };
    httplib::Response res;
    httplib::Error err = httplib::Error::Success;
    // A reset seen by an earlier request must not be counted again for this one.
    platform::net::ClearSocketError();
    const bool sent = client->send(req, res, err);
    if (tooLarge) {
        reply.error = "Reply larger than " + std::to_string(limits.maxBytes) + " bytes refused";
        return reply;
    }
    if (stopped) {
        reply.error = "Transfer stopped";
        return reply;
    }
    if (!sent) {
        if (ex.refusal.empty()) reply.socketError = ex.socketError ? ex.socketError : platform::net::LastSocketError();
        reply.error = ex.refusal.empty() ? httplib::to_string(err) : ex.refusal;
        if (reply.socketError) reply.error += " (socket error " + std::to_string(reply.socketError) + ")";
        return reply;
    }
    reply.status = res.status;
    if (res.status < 200 || res.status > 299) {
        reply.error = "HTTP/1.1 " + std::to_string(res.status) + " " + httplib::detail::status_message(res.status);
        return reply;
    }
    reply.ok = true;
    return reply;
}

}  // namespace qz
