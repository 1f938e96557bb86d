#include "platform/Sockets.h"

// The command port's acceptor waits on every request still arriving at once.
#define FD_SETSIZE 1024
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

void SetBlocking(SOCKET s, bool blocking) {
    u_long nonBlocking = blocking ? 0 : 1;
    ioctlsocket(s, FIONBIO, &nonBlocking);
}

// Keeps the socket error of a failure across the clean-up after it.
void CloseKeepingError(SOCKET s) {
    const int code = WSAGetLastError();
    closesocket(s);
    WSASetLastError(code);
}

// A listening socket; raises SystemError with the system's reason.
SOCKET OpenListening(uint16_t port, int backlog, bool loopbackOnly, uint16_t& bound) {
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
        CloseKeepingError(s);
        ThrowSocketError();
    }
    bound = ntohs(addr.sin_port);
    return s;
}

// A wake-up only this process can signal: a connected pair of loopback
// sockets whose listener takes our own connection alone and is closed at
// once. (A datagram port can be written by any local user, and a flood of
// them would keep every wait busy.) Both ends are non-blocking: a wake
// never blocks, and draining ends when nothing is left.
class WakePair {
public:
    // Raises SystemError when the system refuses.
    WakePair() {
        uint16_t port = 0;
        SOCKET l = OpenListening(0, 4, true, port);
        FWrite = static_cast<SOCKET>(ConnectLoopback(port, 5000));
        sockaddr_in mine{};
        int len = sizeof mine;
        if (FWrite == INVALID_SOCKET || getsockname(FWrite, reinterpret_cast<sockaddr*>(&mine), &len) != 0) {
            if (FWrite != INVALID_SOCKET) closesocket(FWrite);
            closesocket(l);
            WSASetLastError(WSAECONNREFUSED);
            ThrowSocketError();
        }
        // Someone else may have connected first: take ours alone.
        for (int tries = 0; tries < 8 && FRead == INVALID_SOCKET && WaitOne(l, false, 5000) > 0; ++tries) {
            sockaddr_in from{};
            len = sizeof from;
            SOCKET a = accept(l, reinterpret_cast<sockaddr*>(&from), &len);
            if (a == INVALID_SOCKET) break;
            if (from.sin_port == mine.sin_port && from.sin_addr.s_addr == mine.sin_addr.s_addr) {
                SetHandleInformation(reinterpret_cast<HANDLE>(a), HANDLE_FLAG_INHERIT, 0);
                FRead = a;
            } else {
                closesocket(a);
            }
        }
        closesocket(l);
        if (FRead == INVALID_SOCKET) {
            closesocket(FWrite);
            WSASetLastError(WSAECONNREFUSED);
            ThrowSocketError();
        }
        SetBlocking(FRead, false);
        SetBlocking(FWrite, false);
        BOOL one = TRUE;
        setsockopt(FWrite, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
    }
    ~WakePair() {
        closesocket(FRead);
        closesocket(FWrite);
    }
    WakePair(const WakePair&) = delete;
    WakePair& operator=(const WakePair&) = delete;

    SOCKET Handle() const { return FRead; }
    // A full buffer means a wake is pending already.
    void Wake() {
        const char b = 1;
        send(FWrite, &b, 1, 0);
    }
    void Drain() {
        char drain[64];
        while (recv(FRead, drain, sizeof drain, 0) > 0) {
        }
    }

private:
    SOCKET FRead = INVALID_SOCKET;
    SOCKET FWrite = INVALID_SOCKET;
};

class WinListener final : public Listener {
public:
    WinListener(SOCKET listen, uint16_t port) : FListen(listen), FPort(port) {}
    ~WinListener() override { closesocket(FListen); }
    uint16_t Port() const override { return FPort; }
    Socket Accept(uint32_t timeoutMs, std::string& peer) override {
        peer.clear();
        fd_set set;
        FD_ZERO(&set);
        FD_SET(FListen, &set);
        FD_SET(FWake.Handle(), &set);
        timeval tv = ToTimeval(timeoutMs);
        if (select(0, &set, nullptr, nullptr, &tv) <= 0) return InvalidSocket;
        // A waiting connection comes first: a wake never keeps it out.
        if (FD_ISSET(FListen, &set)) {
            sockaddr_in from{};
            int len = sizeof from;
            SOCKET c = accept(FListen, reinterpret_cast<sockaddr*>(&from), &len);
            if (c != INVALID_SOCKET) {
                SetHandleInformation(reinterpret_cast<HANDLE>(c), HANDLE_FLAG_INHERIT, 0);
                SetBlocking(c, true);  // it takes the listener's mode
                char text[INET_ADDRSTRLEN] = "";
                inet_ntop(AF_INET, &from.sin_addr, text, sizeof text);
                peer = text;
                return static_cast<Socket>(c);
            }
        }
        if (FD_ISSET(FWake.Handle(), &set)) FWake.Drain();
        return InvalidSocket;
    }
    void Wake() override { FWake.Wake(); }
    Socket Handle() const override { return static_cast<Socket>(FListen); }

private:
    SOCKET FListen;
    WakePair FWake;
    uint16_t FPort;
};

}  // namespace

std::unique_ptr<Listener> Listen(uint16_t port, int backlog, bool loopbackOnly) {
    StartWinsock();
    uint16_t bound = 0;
    SOCKET s = OpenListening(port, backlog, loopbackOnly, bound);
    // Non-blocking, so a connection that goes between the wait and accept
    // can't block the acceptor.
    SetBlocking(s, false);
    try {
        return std::make_unique<WinListener>(s, bound);
    } catch (...) {
        closesocket(s);
        throw;
    }
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

Socket ConnectLoopback(uint16_t port, uint32_t timeoutMs, const std::string& from) {
    StartWinsock();
    SOCKET s = NewSocket(SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) return InvalidSocket;
    if (!from.empty()) {
        sockaddr_in src{};
        src.sin_family = AF_INET;
        if (inet_pton(AF_INET, from.c_str(), &src.sin_addr) != 1 ||
            bind(s, reinterpret_cast<sockaddr*>(&src), sizeof src) != 0) {
            closesocket(s);
            return InvalidSocket;
        }
    }
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

class WinPoller final : public Poller {
public:
    std::vector<Socket> Wait(const std::vector<Socket>& sockets, uint32_t timeoutMs) override {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(FWake.Handle(), &set);
        for (Socket s : sockets) FD_SET(static_cast<SOCKET>(s), &set);
        timeval tv = ToTimeval(timeoutMs);
        std::vector<Socket> ready;
        if (select(0, &set, nullptr, nullptr, &tv) <= 0) return ready;
        if (FD_ISSET(FWake.Handle(), &set)) FWake.Drain();
        for (Socket s : sockets)
            if (FD_ISSET(static_cast<SOCKET>(s), &set)) ready.push_back(s);
        return ready;
    }
    void Wake() override { FWake.Wake(); }

private:
    WakePair FWake;
};

}  // namespace

std::unique_ptr<Poller> MakePoller() {
    StartWinsock();
    return std::make_unique<WinPoller>();
}

}  // namespace platform::sock
