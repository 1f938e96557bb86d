// The host's own sockets: loopback is real everywhere, so tests and
// benchmarks of the command port run against a real listener.
#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/Errors.h"

namespace platform::sock {

namespace {

[[noreturn]] void ThrowErrno() {
    const int code = errno;
    throw SystemError(static_cast<uint32_t>(code), std::strerror(code));
}

// 1 ready, 0 time-out, -1 error.
int WaitOne(int fd, short events, uint32_t timeoutMs) {
    pollfd p{fd, events, 0};
    int rc;
    do rc = poll(&p, 1, static_cast<int>(timeoutMs));
    while (rc < 0 && errno == EINTR);
    return rc;
}

class PosixListener final : public Listener {
public:
    PosixListener(int listen, int wakeRead, int wakeWrite, uint16_t port)
        : FListen(listen), FWakeRead(wakeRead), FWakeWrite(wakeWrite), FPort(port) {}
    ~PosixListener() override {
        close(FListen);
        close(FWakeRead);
        close(FWakeWrite);
    }
    uint16_t Port() const override { return FPort; }
    Socket Accept(uint32_t timeoutMs, std::string& peer) override {
        peer.clear();
        pollfd p[2] = {{FListen, POLLIN, 0}, {FWakeRead, POLLIN, 0}};
        int rc;
        do rc = poll(p, 2, static_cast<int>(timeoutMs));
        while (rc < 0 && errno == EINTR);
        if (rc <= 0) return InvalidSocket;
        // A waiting connection comes first: a wake never keeps it out.
        if (p[0].revents) {
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const int c = accept4(FListen, reinterpret_cast<sockaddr*>(&from), &len, SOCK_CLOEXEC);
            if (c >= 0) {
                char text[INET_ADDRSTRLEN] = "";
                inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
                peer = text;
                return static_cast<Socket>(c);
            }
        }
        if (p[1].revents) {
            char drain[16];
            while (read(FWakeRead, drain, sizeof drain) > 0) {}
        }
        return InvalidSocket;
    }
    void Wake() override {
        const char b = 1;
        [[maybe_unused]] ssize_t n = write(FWakeWrite, &b, 1);
    }
    Socket Handle() const override { return static_cast<Socket>(FListen); }

private:
    int FListen, FWakeRead, FWakeWrite;
    uint16_t FPort;
};

}  // namespace

std::unique_ptr<Listener> Listen(uint16_t port, int backlog, bool loopbackOnly) {
    // Non-blocking, so a connection that goes between the wait and accept
    // can't block the acceptor; accepted sockets block all the same.
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) ThrowErrno();
    const int one = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(loopbackOnly ? INADDR_LOOPBACK : INADDR_ANY);
    socklen_t len = sizeof addr;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, backlog) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        const int code = errno;
        close(s);
        errno = code;
        ThrowErrno();
    }
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
        const int code = errno;
        close(s);
        errno = code;
        ThrowErrno();
    }
    return std::make_unique<PosixListener>(s, pipeFds[0], pipeFds[1], ntohs(addr.sin_port));
}

int Receive(Socket s, char* buf, size_t size, uint32_t timeoutMs) {
    const int fd = static_cast<int>(s);
    if (WaitOne(fd, POLLIN, timeoutMs) <= 0) return -1;
    ssize_t n;
    do n = recv(fd, buf, size > (1 << 20) ? (1 << 20) : size, 0);
    while (n < 0 && errno == EINTR);
    return n < 0 ? -1 : static_cast<int>(n);
}

bool SendAll(Socket s, const char* data, size_t size, uint32_t timeoutMs) {
    const int fd = static_cast<int>(s);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (size > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || WaitOne(fd, POLLOUT, static_cast<uint32_t>(left)) <= 0) return false;
        const ssize_t n = send(fd, data, size > (1 << 20) ? (1 << 20) : size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void Shutdown(Socket s) { shutdown(static_cast<int>(s), SHUT_RDWR); }

void Close(Socket s) {
    if (s != InvalidSocket) close(static_cast<int>(s));
}

Socket ConnectLoopback(uint16_t port, uint32_t timeoutMs, const std::string& from) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) return InvalidSocket;
    if (!from.empty()) {
        sockaddr_in src{};
        src.sin_family = AF_INET;
        if (inet_pton(AF_INET, from.c_str(), &src.sin_addr) != 1 ||
            bind(s, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0) {
            close(s);
            return InvalidSocket;
        }
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (!ok && errno == EINPROGRESS && WaitOne(s, POLLOUT, timeoutMs) > 0) {
        int err = 0;
        socklen_t len = sizeof err;
        ok = getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
    }
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) & ~O_NONBLOCK);
    if (!ok) {
        close(s);
        return InvalidSocket;
    }
    return static_cast<Socket>(s);
}

Socket Connect(const std::string& host, uint16_t port, uint32_t timeoutMs, std::string& error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0 || !found) {
        error = "Host " + host + " not found: " + gai_strerror(rc);
        return InvalidSocket;
    }
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (s < 0) {
        freeaddrinfo(found);
        error = std::strerror(errno);
        return InvalidSocket;
    }
    bool ok = connect(s, found->ai_addr, found->ai_addrlen) == 0;
    freeaddrinfo(found);
    int err = errno;
    if (!ok && err == EINPROGRESS) {
        if (WaitOne(s, POLLOUT, timeoutMs) > 0) {
            socklen_t len = sizeof err;
            ok = getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
        } else {
            err = ETIMEDOUT;
        }
    }
    if (!ok) {
        close(s);
        error = "Could not connect to " + host + ":" + std::to_string(port) + ": " + std::strerror(err);
        return InvalidSocket;
    }
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) & ~O_NONBLOCK);
    const int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return static_cast<Socket>(s);
}

namespace {

class PosixPoller final : public Poller {
public:
    PosixPoller(int r, int w) : FRead(r), FWrite(w) {}
    ~PosixPoller() override {
        close(FRead);
        close(FWrite);
    }
    std::vector<Socket> Wait(const std::vector<Socket>& sockets, uint32_t timeoutMs) override {
        std::vector<pollfd> fds;
        fds.push_back({FRead, POLLIN, 0});
        for (Socket s : sockets) fds.push_back({static_cast<int>(s), POLLIN, 0});
        std::vector<Socket> ready;
        if (poll(fds.data(), fds.size(), static_cast<int>(timeoutMs)) <= 0) return ready;
        if (fds[0].revents) {
            char drain[64];
            while (read(FRead, drain, sizeof drain) > 0) {}
        }
        for (size_t i = 1; i < fds.size(); ++i)
            if (fds[i].revents) ready.push_back(sockets[i - 1]);
        return ready;
    }
    void Wake() override {
        const char b = 1;
        [[maybe_unused]] ssize_t n = write(FWrite, &b, 1);
    }

private:
    int FRead, FWrite;
};

}  // namespace

std::unique_ptr<Poller> MakePoller() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) ThrowErrno();
    return std::make_unique<PosixPoller>(fds[0], fds[1]);
}

}  // namespace platform::sock
