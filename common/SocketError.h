#pragma once
#include <cstdint>

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

    int32_t Counter() const { return _counter; }
    int32_t MaxValue() const { return _maxValue; }

private:
    struct CreateTag {};
    explicit T10054SocketError(CreateTag) {}
    int32_t _counter = 0;
    int32_t _maxValue = 2;
};

}  // namespace qz
