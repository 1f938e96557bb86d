#include "common/LoggerHandlers.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "common/Utils.h"
#include "platform/CodePage.h"

namespace qz {

namespace fs = std::filesystem;

TFileLoggerHandler::TFileLoggerHandler(int32_t level, std::string fileName, int32_t maxFileLogSizeMb)
    : TLoggerHandler(level), _maxFileLogSize(maxFileLogSizeMb), _fileName(std::move(fileName)) {}

TFileLoggerHandler::~TFileLoggerHandler() = default;

void TFileLoggerHandler::Open() {
    const fs::path file = ToFsPath(_fileName);
    std::error_code ec;
    if (file.has_parent_path() && !fs::exists(file.parent_path(), ec)) {
        fs::create_directories(file.parent_path(), ec);
        if (ec) throw std::runtime_error("Cannot create the log folder: " + ec.message());
    }
    uint64_t sizeMb = 0;
    const bool exists = fs::exists(file, ec);
    if (exists) {
        const auto size = fs::file_size(file, ec);
        if (!ec) sizeMb = size / 1024 / 1024;
    }
    std::ios::openmode mode = std::ios::binary | std::ios::app;
    if (!(static_cast<int64_t>(_maxFileLogSize) > static_cast<int64_t>(sizeMb))) {
        fs::path bak = file;
        bak.replace_extension(".bak");
        fs::remove(bak, ec);
        if (exists) {
            fs::rename(file, bak, ec);
            if (ec) throw std::runtime_error("Cannot rotate the log file: " + ec.message());
        }
        mode = std::ios::binary | std::ios::trunc;
    }
    // The stream takes the path in the system's own form (wide on Windows).
    _file.open(file, std::ios::out | mode);
    if (!_file.is_open()) throw std::runtime_error("Cannot open the log file " + _fileName);
}

void TFileLoggerHandler::SetActive(bool value) {
    std::lock_guard<std::mutex> lock(_fileLock);
    if (value == FActive.load()) return;
    if (value) {
        Open();
        FActive.store(true);
    } else {
        FActive.store(false);
        if (_file.is_open()) _file.close();
    }
}

void TFileLoggerHandler::Notify(const std::string& message) {
    std::lock_guard<std::mutex> lock(_fileLock);
    if (!_file.is_open()) return;
    const std::string line = platform::sys::Utf8ToAnsi(message) + "\r\n";
    // Write errors are dropped per line.
    _file.write(line.data(), static_cast<std::streamsize>(line.size()));
    _file.flush();
    _file.clear();
}

}  // namespace qz
