#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/Sockets.h"

namespace qz {

// The bytes under a websocket: a TCP connection, or TLS over one.
class TWsStream {
public:
    virtual ~TWsStream() = default;
    // Up to size bytes: how many arrived, 0 when the peer closed, -1 on error
    // or when nothing came within timeoutMs.
    virtual int Read(uint8_t* buf, size_t size, uint32_t timeoutMs) = 0;
    // Everything, or false on error or time-out.
    virtual bool Write(const uint8_t* data, size_t size, uint32_t timeoutMs) = 0;
    // Bytes already received and decoded that a wait on the socket won't show.
    virtual bool Pending() = 0;
    virtual platform::sock::Socket Socket() const = 0;
    // Ends the connection; Read and Write fail afterwards.
    virtual void Close() = 0;
};

// Connects to host:port, with TLS (1.0 to 1.2, no certificate check, as lab
// servers use self-signed ones) when asked. Null with the reason in `error`.
std::unique_ptr<TWsStream> OpenWsStream(const std::string& host, uint16_t port, bool tls, uint32_t timeoutMs,
                                        std::string& error);

}  // namespace qz
