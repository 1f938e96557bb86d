#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qz {

// The agent's log files and the session program's, packed into one ZIP
// archive in memory for the server's log request.
class TLogArchive {
public:
    // What one request may hold in memory: a larger file is left out with a
    // log line, and so is every file after the total is reached.
    static constexpr size_t MaxFileBytes = 64u << 20;
    static constexpr size_t MaxTotalBytes = 128u << 20;

    // dataFolder ends with a separator. Never raises: after an error the
    // archive is empty (no bytes at all) and the error is logged.
    static std::vector<uint8_t> Build(const std::string& dataFolder);
};

}  // namespace qz
