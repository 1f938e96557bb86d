#include "common/HttpClient.h"

#include <stdexcept>

#include <httplib.h>

#include "common/Url.h"
#include "platform/Network.h"

namespace qz {

THttpReply THttpClientTransport::Request(const std::string& method, const std::string& url, const std::string& body,
                                         uint32_t connectTimeoutMs, uint32_t readTimeoutMs) {
    THttpReply reply;
    TUrlParts parts;
    try {
        parts = SplitUrl(url);
    } catch (const std::exception& e) {
        reply.error = e.what();
        return reply;
    }
    httplib::Client client(parts.scheme + "://" + parts.host + ":" + std::to_string(parts.port));
    client.set_keep_alive(false);
    client.set_connection_timeout(connectTimeoutMs / 1000, (connectTimeoutMs % 1000) * 1000);
    client.set_read_timeout(readTimeoutMs / 1000, (readTimeoutMs % 1000) * 1000);
    client.set_write_timeout(readTimeoutMs / 1000, (readTimeoutMs % 1000) * 1000);
    if (parts.scheme == "https") {
        client.enable_server_certificate_verification(false);
        if (SSL_CTX* ctx = client.ssl_context()) {
            SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION);
            SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
            // Old lab servers still speak TLS 1.0 with old ciphers.
            SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");
        }
    }

    httplib::Request req;
    req.method = method;
    req.path = parts.target;
    if (method == "POST") {
        req.body = body;
        req.set_header("Content-Type", "application/octet-stream");
    }
    bool tooLarge = false;
    std::string received;
    req.content_receiver = [&](const char* data, size_t len, uint64_t, uint64_t) {
        if (received.size() + len > MaxReplyBytes) {
            tooLarge = true;
            return false;
        }
        received.append(data, len);
        return true;
    };
    httplib::Response res;
    httplib::Error err = httplib::Error::Success;
    const bool sent = client.send(req, res, err);
    if (tooLarge) {
        reply.error = "Reply larger than " + std::to_string(MaxReplyBytes) + " bytes refused";
        return reply;
    }
    if (!sent) {
        reply.socketError = platform::net::LastSocketError();
        reply.error = httplib::to_string(err);
        if (reply.socketError) reply.error += " (socket error " + std::to_string(reply.socketError) + ")";
        return reply;
    }
    reply.status = res.status;
    reply.body = std::move(received);
    if (res.status < 200 || res.status > 299) {
        reply.error = "HTTP/1.1 " + std::to_string(res.status) + " " + httplib::detail::status_message(res.status);
        return reply;
    }
    reply.ok = true;
    return reply;
}

}  // namespace qz
