#include "common/Files.h"

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "common/Utils.h"
#include "platform/Clock.h"
#include "platform/SystemInfo.h"

namespace qz {

namespace fs = std::filesystem;

std::vector<uint8_t> ReadWholeFile(const std::string& fileName) {
    std::ifstream in(ToFsPath(fileName), std::ios::binary);
    if (!in) throw std::runtime_error("Cannot open file \"" + fileName + "\"");
    std::vector<uint8_t> data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad()) throw std::runtime_error("Cannot read file \"" + fileName + "\"");
    return data;
}

namespace {

// A fresh "sts*.tmp" name in `folder`; the process id keeps the manager and
// the agent apart, the counter keeps this process's own saves apart.
fs::path UniqueTempPath(const fs::path& folder) {
    static std::atomic<uint32_t> counter{0};
    for (;;) {
        char name[40];
        std::snprintf(name, sizeof name, "sts%X_%X.tmp", platform::sys::CurrentProcessId(), counter.fetch_add(1));
        fs::path p = folder / name;
        std::error_code ec;
        if (!fs::exists(p, ec) && !ec) return p;
        if (ec) throw std::runtime_error("Cannot create a temporary file in \"" + folder.u8string() + "\": " + ec.message());
    }
}

}  // namespace

void ReplaceFileContent(const std::string& fileName, const std::vector<uint8_t>& data) {
    const fs::path target = ToFsPath(fileName);
    const fs::path temp = UniqueTempPath(target.parent_path().empty() ? fs::path(".") : target.parent_path());
    try {
        std::ofstream out(temp, std::ios::binary | std::ios::trunc);
        if (!out) throw std::runtime_error("Cannot create file \"" + temp.u8string() + "\"");
        out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
        out.close();
        // A short write (a full disk) must never get as far as the move.
        if (!out) throw std::runtime_error("Cannot write file \"" + temp.u8string() + "\"");
    } catch (...) {
        std::error_code ignored;
        fs::remove(temp, ignored);
        throw;
    }
    // Windows refuses while another program (the manager, the agent) has the
    // old file open for a moment; a few short retries ride that out.
    std::error_code ec;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (attempt) platform::sys::SleepMs(20);
        fs::rename(temp, target, ec);
        if (!ec) return;
    }
    std::error_code ignored;
    fs::remove(temp, ignored);
    throw EReplaceError(ec.message());
}

}  // namespace qz
