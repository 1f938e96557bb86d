// Decrypted command documents of the guard server through the command
// processing, on the in-memory platform with a few processes and sessions.
#include <cstddef>
#include <cstdint>
#include <string>

#include "tests/fuzz/FuzzStation.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static qzfuzz::Station* station = new qzfuzz::Station;
    // Processes ended by one input come back for the next.
    auto& w = platform::fake::W();
    if (w.processes.size() < 6) {
        delete station;
        station = new qzfuzz::Station;
    }
    try {
        station->processor->ProcessCommand(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const std::exception&) {
        // No reply: what the request event logs.
    }
    return 0;
}
