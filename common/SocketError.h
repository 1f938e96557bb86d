#pragma once
#include <cstdint>
#include <mutex>

#include "platform/Network.h"

namespace qz {

// Counts connection resets; when they pile up the agent has itself restarted,
// and each such restart raises the threshold for the next run.
class T10054SocketError {
public:
    static constexpr int ConnectionReset = platform::net::SocketConnectionReset;

    // Always raises: the object is reached through Instance only.
    T10054SocketError();
    static T10054SocketError* Instance();
    static void ReleaseInstance();
    static T10054SocketError* AccessInstance(int request);

    void Start();
    void HandleException(int socketErrorCode);
    void Reset();

    int32_t Counter() const;
    int32_t MaxValue() const;

private:
    struct CreateTag {};
    explicit T10054SocketError(CreateTag) {}
    // The heartbeat and the stop signal (another thread) both report here.
    mutable std::mutex _lock;
    int32_t _counter = 0;
    int32_t _maxValue = 2;
};

}  // namespace qz
