#include "websocket/WsStream.h"

#include <atomic>
#include <mutex>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

namespace qz {

namespace sock = platform::sock;

namespace {

class TPlainStream : public TWsStream {
public:
    explicit TPlainStream(sock::Socket s) : FSocket(s) {}
    ~TPlainStream() override { TPlainStream::Close(); }
    int Read(uint8_t* buf, size_t size, uint32_t timeoutMs) override {
        if (FClosed) return -1;
        return sock::Receive(FSocket, reinterpret_cast<char*>(buf), size, timeoutMs);
    }
    bool Write(const uint8_t* data, size_t size, uint32_t timeoutMs) override {
        return !FClosed && sock::SendAll(FSocket, reinterpret_cast<const char*>(data), size, timeoutMs);
    }
    bool Pending() override { return false; }
    sock::Socket Socket() const override { return FSocket; }
    void Close() override {
        if (FClosed.exchange(true)) return;
        sock::Shutdown(FSocket);
        sock::Close(FSocket);
    }

private:
    sock::Socket FSocket;
    std::atomic<bool> FClosed{false};
};

// TLS reads and writes go through the platform's socket calls, so every wait
// has its time-out: a BIO of our own over the connection.
struct TBioTarget {
    sock::Socket socket;
    uint32_t readTimeoutMs = 5000;
    uint32_t writeTimeoutMs = 2000;
};

int BioWrite(BIO* b, const char* data, size_t size, size_t* written) {
    auto* t = static_cast<TBioTarget*>(BIO_get_data(b));
    if (!sock::SendAll(t->socket, data, size, t->writeTimeoutMs)) return 0;
    *written = size;
    return 1;
}

int BioRead(BIO* b, char* data, size_t size, size_t* read) {
    auto* t = static_cast<TBioTarget*>(BIO_get_data(b));
    const int n = sock::Receive(t->socket, data, size, t->readTimeoutMs);
    if (n <= 0) return 0;
    *read = static_cast<size_t>(n);
    return 1;
}

long BioCtrl(BIO*, int cmd, long, void*) { return cmd == BIO_CTRL_FLUSH ? 1 : 0; }

BIO_METHOD* Method() {
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "qz socket");
        BIO_meth_set_write_ex(m, BioWrite);
        BIO_meth_set_read_ex(m, BioRead);
        BIO_meth_set_ctrl(m, BioCtrl);
        return m;
    }();
    return method;
}

class TTlsStream : public TWsStream {
public:
    TTlsStream(sock::Socket s, SSL_CTX* ctx) : FTarget{s}, FCtx(ctx), FSsl(SSL_new(ctx)) {}
    ~TTlsStream() override {
        TTlsStream::Close();
        SSL_free(FSsl);
        SSL_CTX_free(FCtx);
    }
    bool Handshake(const std::string& host, uint32_t timeoutMs, std::string& error) {
        if (!FSsl) return Fail("TLS set-up failed", error);
        BIO* bio = BIO_new(Method());
        if (!bio) return Fail("TLS set-up failed", error);
        BIO_set_data(bio, &FTarget);
        BIO_set_init(bio, 1);
        SSL_set_bio(FSsl, bio, bio);
        SSL_set_tlsext_host_name(FSsl, host.c_str());
        FTarget.readTimeoutMs = timeoutMs;
        if (SSL_connect(FSsl) != 1) return Fail("TLS handshake failed", error);
        return true;
    }
    int Read(uint8_t* buf, size_t size, uint32_t timeoutMs) override {
        std::lock_guard<std::mutex> hold(FLock);
        if (FClosed) return -1;
        FTarget.readTimeoutMs = timeoutMs;
        size_t got = 0;
        if (SSL_read_ex(FSsl, buf, size, &got) == 1) return static_cast<int>(got);
        return SSL_get_error(FSsl, 0) == SSL_ERROR_ZERO_RETURN ? 0 : -1;
    }
    bool Write(const uint8_t* data, size_t size, uint32_t timeoutMs) override {
        std::lock_guard<std::mutex> hold(FLock);
        if (FClosed) return false;
        FTarget.writeTimeoutMs = timeoutMs;
        size_t done = 0;
        while (done < size) {
            size_t n = 0;
            if (SSL_write_ex(FSsl, data + done, size - done, &n) != 1) return false;
            done += n;
        }
        return true;
    }
    bool Pending() override {
        std::lock_guard<std::mutex> hold(FLock);
        return !FClosed && SSL_pending(FSsl) > 0;
    }
    sock::Socket Socket() const override { return FTarget.socket; }
    void Close() override {
        if (FClosed.exchange(true)) return;
        // A thread blocked in a read returns once the socket is shut.
        sock::Shutdown(FTarget.socket);
        std::lock_guard<std::mutex> hold(FLock);
        sock::Close(FTarget.socket);
    }

private:
    bool Fail(const char* what, std::string& error) {
        char text[256] = {};
        ERR_error_string_n(ERR_get_error(), text, sizeof text);
        error = std::string(what) + (text[0] ? std::string(": ") + text : std::string());
        ERR_clear_error();
        return false;
    }
    TBioTarget FTarget;
    SSL_CTX* FCtx;
    SSL* FSsl;
    std::mutex FLock;  // reads and writes on the one TLS session
    std::atomic<bool> FClosed{false};
};

}  // namespace

std::unique_ptr<TWsStream> OpenWsStream(const std::string& host, uint16_t port, bool tls, uint32_t timeoutMs,
                                        std::string& error) {
    const sock::Socket s = sock::Connect(host, port, timeoutMs, error);
    if (s == sock::InvalidSocket) return nullptr;
    if (!tls) return std::make_unique<TPlainStream>(s);
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (!ctx) {
        sock::Close(s);
        error = "TLS set-up failed";
        return nullptr;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION);
    SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    auto stream = std::make_unique<TTlsStream>(s, ctx);
    if (!stream->Handshake(host, timeoutMs, error)) return nullptr;
    return stream;
}

}  // namespace qz
