#include "platform/Sockets.h"

#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <mutex>

#include "platform/Errors.h"

namespace platform::sock {

namespace {

void StartWinsock() {
    static std::once_flag once;
    std::call_once(once, [] {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    });
}

// Programs the agent starts must not inherit its sockets.
SOCKET NewSocket(int type, int protocol) {
    SOCKET s = socket(AF_INET, type, protocol);
    if (s != INVALID_SOCKET) SetHandleInformation(reinterpret_cast<HANDLE>(s), HANDLE_FLAG_INHERIT, 0);
    return s;
}

[[noreturn]] void ThrowSocketError() {
    const int code = WSAGetLastError();
    throw SystemError(static_cast<uint32_t>(code), SystemErrorText(static_cast<uint32_t>(code)));
}

timeval ToTimeval(uint32_t ms) {
    timeval tv;
    tv.tv_sec = static_cast<long>(ms / 1000);
    tv.tv_usec = static_cast<long>((ms % 1000) * 1000);
    return tv;
}

// 1 ready, 0 time-out, -1 error.
int WaitOne(SOCKET s, bool forWrite, uint32_t timeoutMs) {
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    timeval tv = ToTimeval(timeoutMs);
    const int rc = forWrite ? select(0, nullptr, &set, nullptr, &tv) : select(0, &set, nullptr, nullptr, &tv);
    return rc == SOCKET_ERROR ? -1 : rc;
}

// A datagram socket on loopback that a wait can include, woken by a datagram
// to its own address; INVALID_SOCKET (with the socket error kept) on failure.
SOCKET WakeSocket(sockaddr_in& addr) {
    SOCKET w = NewSocket(SOCK_DGRAM, IPPROTO_UDP);
    addr = sockaddr_in{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int len = sizeof addr;
    if (w != INVALID_SOCKET && bind(w, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(w, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        return w;
    const int code = WSAGetLastError();
    if (w != INVALID_SOCKET) closesocket(w);
    WSASetLastError(code);
    return INVALID_SOCKET;
}

class WinListener final : public Listener {
public:
    WinListener(SOCKET listen, SOCKET wake, sockaddr_in wakeAddr, uint16_t port)
        : FListen(listen), FWake(wake), FWakeAddr(wakeAddr), FPort(port) {}
    ~WinListener() override {
        closesocket(FListen);
        closesocket(FWake);
    }
    uint16_t Port() const override { return FPort; }
    Socket Accept(uint32_t timeoutMs) override {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(FListen, &set);
        FD_SET(FWake, &set);
        timeval tv = ToTimeval(timeoutMs);
        if (select(0, &set, nullptr, nullptr, &tv) <= 0) return InvalidSocket;
        if (FD_ISSET(FWake, &set)) {
            char drain[16];
            recv(FWake, drain, sizeof drain, 0);
            return InvalidSocket;
        }
        SOCKET c = accept(FListen, nullptr, nullptr);
        if (c == INVALID_SOCKET) return InvalidSocket;
        SetHandleInformation(reinterpret_cast<HANDLE>(c), HANDLE_FLAG_INHERIT, 0);
        return static_cast<Socket>(c);
    }
    void Wake() override {
        const char b = 1;
        sendto(FWake, &b, 1, 0, reinterpret_cast<const sockaddr*>(&FWakeAddr), sizeof FWakeAddr);
    }

private:
    SOCKET FListen;
    SOCKET FWake;
    sockaddr_in FWakeAddr;
    uint16_t FPort;
};

}  // namespace

std::unique_ptr<Listener> Listen(uint16_t port, int backlog, bool loopbackOnly) {
    StartWinsock();
    SOCKET s = NewSocket(SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) ThrowSocketError();
    // No other program may bind the same port beside us and take our connections.
    BOOL exclusive = TRUE;
    setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(loopbackOnly ? INADDR_LOOPBACK : INADDR_ANY);
    int len = sizeof addr;
    if (bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || listen(s, backlog) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        const int code = WSAGetLastError();
        closesocket(s);
        WSASetLastError(code);
        ThrowSocketError();
    }
    // A datagram to ourselves is the wake-up: select waits on both sockets.
    sockaddr_in waddr{};
    SOCKET w = WakeSocket(waddr);
    if (w == INVALID_SOCKET) {
        const int code = WSAGetLastError();
        closesocket(s);
        WSASetLastError(code);
        ThrowSocketError();
    }
    return std::make_unique<WinListener>(s, w, waddr, ntohs(addr.sin_port));
}

int Receive(Socket s, char* buf, size_t size, uint32_t timeoutMs) {
    const SOCKET h = static_cast<SOCKET>(s);
    if (WaitOne(h, false, timeoutMs) <= 0) return -1;
    const int chunk = size > 1 << 20 ? 1 << 20 : static_cast<int>(size);
    const int n = recv(h, buf, chunk, 0);
    return n == SOCKET_ERROR ? -1 : n;
}

bool SendAll(Socket s, const char* data, size_t size, uint32_t timeoutMs) {
    const SOCKET h = static_cast<SOCKET>(s);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (size > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
        if (left <= 0 || WaitOne(h, true, static_cast<uint32_t>(left)) <= 0) return false;
        const int chunk = size > 1 << 20 ? 1 << 20 : static_cast<int>(size);
        const int n = send(h, data, chunk, 0);
        if (n == SOCKET_ERROR || n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

void Shutdown(Socket s) { shutdown(static_cast<SOCKET>(s), SD_BOTH); }

void Close(Socket s) {
    if (s != InvalidSocket) closesocket(static_cast<SOCKET>(s));
}

Socket ConnectLoopback(uint16_t port, uint32_t timeoutMs) {
    StartWinsock();
    SOCKET s = NewSocket(SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return InvalidSocket;
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    if (!ok && WSAGetLastError() == WSAEWOULDBLOCK && WaitOne(s, true, timeoutMs) > 0) {
        int err = 0;
        int len = sizeof err;
        ok = getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) == 0 && err == 0;
    }
    nonBlocking = 0;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    if (!ok) {
        closesocket(s);
        return InvalidSocket;
    }
    return static_cast<Socket>(s);
}

Socket Connect(const std::string& host, uint16_t port, uint32_t timeoutMs, std::string& error) {
    StartWinsock();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
    if (rc != 0 || !found) {
        error = "Host " + host + " not found (" + std::to_string(rc) + ")";
        return InvalidSocket;
    }
    SOCKET s = NewSocket(SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) {
        freeaddrinfo(found);
        error = SystemErrorText(static_cast<uint32_t>(WSAGetLastError()));
        return InvalidSocket;
    }
    u_long nonBlocking = 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    bool ok = connect(s, found->ai_addr, static_cast<int>(found->ai_addrlen)) == 0;
    freeaddrinfo(found);
    int err = WSAGetLastError();
    if (!ok && err == WSAEWOULDBLOCK) {
        // A refused connection shows in the exception set.
        fd_set writable, failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval tv = ToTimeval(timeoutMs);
        if (select(0, nullptr, &writable, &failed, &tv) > 0) {
            int len = sizeof err;
            ok = getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) == 0 && err == 0;
        } else {
            err = WSAETIMEDOUT;
        }
    }
    nonBlocking = 0;
    ioctlsocket(s, FIONBIO, &nonBlocking);
    if (!ok) {
        closesocket(s);
        error = "Could not connect to " + host + ":" + std::to_string(port) + ": " +
                SystemErrorText(static_cast<uint32_t>(err)) + " (socket error " + std::to_string(err) + ")";
        return InvalidSocket;
    }
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    return static_cast<Socket>(s);
}

namespace {

// A datagram to itself wakes the wait, as the listener's does.
class WinPoller final : public Poller {
public:
    WinPoller(SOCKET wake, sockaddr_in addr) : FWake(wake), FAddr(addr) {}
    ~WinPoller() override { closesocket(FWake); }
    std::vector<Socket> Wait(const std::vector<Socket>& sockets, uint32_t timeoutMs) override {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(FWake, &set);
        for (Socket s : sockets) FD_SET(static_cast<SOCKET>(s), &set);
        timeval tv = ToTimeval(timeoutMs);
        std::vector<Socket> ready;
        if (select(0, &set, nullptr, nullptr, &tv) <= 0) return ready;
        if (FD_ISSET(FWake, &set)) {
            char drain[64];
            u_long pending = 0;
            while (ioctlsocket(FWake, FIONREAD, &pending) == 0 && pending > 0 && recv(FWake, drain, sizeof drain, 0) > 0) {
            }
        }
        for (Socket s : sockets)
            if (FD_ISSET(static_cast<SOCKET>(s), &set)) ready.push_back(s);
        return ready;
    }
    void Wake() override {
        const char b = 1;
        sendto(FWake, &b, 1, 0, reinterpret_cast<const sockaddr*>(&FAddr), sizeof FAddr);
    }

private:
    SOCKET FWake;
    sockaddr_in FAddr;
};

}  // namespace

std::unique_ptr<Poller> MakePoller() {
    StartWinsock();
    sockaddr_in addr{};
    SOCKET w = WakeSocket(addr);
    if (w == INVALID_SOCKET) ThrowSocketError();
    return std::make_unique<WinPoller>(w, addr);
}

}  // namespace platform::sock
