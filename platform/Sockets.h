#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// TCP over IPv4 for the agent's local command port. Opening a listener raises
// SystemError (the port is taken, say); everything else answers plainly.
// Every wait has a time-out, so a silent peer can't hold a thread for ever.
namespace platform::sock {

using Socket = intptr_t;
constexpr Socket InvalidSocket = -1;

// A listening socket on all local addresses, with a way for another thread
// to wake the one waiting in Accept. Only this process can wake it, so no
// local user can keep it from accepting.
class Listener {
public:
    virtual ~Listener() = default;
    // The port it listens on (the one asked for, or the system's pick for 0).
    virtual uint16_t Port() const = 0;
    // The next connection, with the peer's numeric address in `peer`;
    // InvalidSocket when woken, on time-out, or on error. A connection that
    // is there is taken even while a wake is pending. A connection comes
    // with its own (blocking) socket.
    virtual Socket Accept(uint32_t timeoutMs, std::string& peer) = 0;
    // Makes a waiting or the next Accept return at once (once no connection
    // waits). Any thread.
    virtual void Wake() = 0;
    // The listening socket, for one Poller wait on it and other sockets;
    // ready means Accept(0) has a connection.
    virtual Socket Handle() const = 0;
};
// Raises SystemError with the system's reason when the port can't be had.
// loopbackOnly binds 127.0.0.1 instead of every address.
std::unique_ptr<Listener> Listen(uint16_t port, int backlog, bool loopbackOnly = false);

// Up to size bytes: how many arrived, 0 when the peer closed, -1 on error or
// when nothing came within timeoutMs.
int Receive(Socket s, char* buf, size_t size, uint32_t timeoutMs);
// Everything, or false on error or when the peer takes longer than timeoutMs in all.
bool SendAll(Socket s, const char* data, size_t size, uint32_t timeoutMs);
// Ends both directions so that a thread blocked on the socket returns; the
// socket stays open until Close.
void Shutdown(Socket s);
void Close(Socket s);

// A client connection to 127.0.0.1 (tests, benchmarks, the stop path), from
// the loopback address `from` when given (127.0.0.2, ...: tests playing
// other peers); InvalidSocket on failure or time-out.
Socket ConnectLoopback(uint16_t port, uint32_t timeoutMs, const std::string& from = {});

// Whether a numeric address (as Accept gives it) is this machine's own:
// 127.0.0.0/8 or ::1, also in their IPv4-mapped form.
inline bool IsLoopbackAddress(const std::string& address) {
    const std::string mapped = "::ffff:";
    const std::string v4 = address.compare(0, mapped.size(), mapped) == 0 ? address.substr(mapped.size()) : address;
    return v4.compare(0, 4, "127.") == 0 || address == "::1";
}

// A client connection to host:port (a name is resolved, IPv4), with Nagle's
// algorithm off so short messages leave at once; InvalidSocket with the
// reason in `error` on failure or time-out.
Socket Connect(const std::string& host, uint16_t port, uint32_t timeoutMs, std::string& error);

// One wait on many sockets (up to 1000) that another thread can cut short.
// Its wake-up is private to the process, as the listener's is.
class Poller {
public:
    virtual ~Poller() = default;
    // The sockets that have something to read (or were closed); empty on
    // time-out or when woken.
    virtual std::vector<Socket> Wait(const std::vector<Socket>& sockets, uint32_t timeoutMs) = 0;
    // Makes a waiting or the next Wait return at once. Any thread.
    virtual void Wake() = 0;
};
// Raises SystemError when the system refuses what it needs.
std::unique_ptr<Poller> MakePoller();

}  // namespace platform::sock
