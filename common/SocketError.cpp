#include "common/SocketError.h"

#include <mutex>
#include <stdexcept>
#include <string>

#include "common/Logger.h"
#include "common/Utils.h"

namespace qz {

namespace {
T10054SocketError* g_instance = nullptr;
std::mutex g_lock;
}  // namespace

T10054SocketError::T10054SocketError() {
    throw std::runtime_error("Access class T10054SocketError through Instance only");
}

T10054SocketError* T10054SocketError::AccessInstance(int request) {
    std::lock_guard<std::mutex> lock(g_lock);
    switch (request) {
    case 0: break;
    case 1:
        if (!g_instance) g_instance = new T10054SocketError(CreateTag{});
        break;
    case 2: g_instance = nullptr; break;
    default: throw std::runtime_error("Illegal request " + std::to_string(request) + " in AccessInstance");
    }
    return g_instance;
}

T10054SocketError* T10054SocketError::Instance() { return AccessInstance(1); }

void T10054SocketError::ReleaseInstance() {
    T10054SocketError* inst = AccessInstance(0);
    AccessInstance(2);
    delete inst;
}

int32_t T10054SocketError::Counter() const {
    std::lock_guard<std::mutex> lock(_lock);
    return _counter;
}

int32_t T10054SocketError::MaxValue() const {
    std::lock_guard<std::mutex> lock(_lock);
    return _maxValue;
}

void T10054SocketError::Start() {
    std::lock_guard<std::mutex> lock(_lock);
    try {
        _maxValue = TUtils::ReadIntegerRegistryKey("Socket10054");
    } catch (...) {
        _maxValue = 2;
    }
    // A missing value reads as -1; a threshold below one would restart on every reset.
    if (_maxValue < 1) _maxValue = 2;
    _counter = 0;
    TLogger::Finest("Socket error handler has been created. Maximum of errors is: " + std::to_string(_maxValue));
}

void T10054SocketError::HandleException(int socketErrorCode) {
    if (socketErrorCode != ConnectionReset) return;
    std::lock_guard<std::mutex> lock(_lock);
    ++_counter;
    if (_counter < _maxValue) return;
    if (_maxValue < 20) {
        try {
            TUtils::WriteIntegerRegistryKey("Socket10054", _maxValue + 2);
        } catch (...) {
        }
    }
    TLogger::Throwing("Number of socket error is exceeded. It is time to restart.");
}

void T10054SocketError::Reset() {
    std::lock_guard<std::mutex> lock(_lock);
    _counter = 0;
    _maxValue = 2;
    try {
        TUtils::WriteIntegerRegistryKey("Socket10054", 2);
    } catch (...) {
    }
}

}  // namespace qz
