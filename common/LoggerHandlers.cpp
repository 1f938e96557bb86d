#include "common/LoggerHandlers.h"

#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "common/Utils.h"
#include "platform/System.h"

namespace qz {

namespace fs = std::filesystem;

TFileLoggerHandler::TFileLoggerHandler(int32_t level, std::string fileName, int32_t maxFileLogSizeMb)
    : TLoggerHandler(level), _maxFileLogSize(maxFileLogSizeMb), _fileName(std::move(fileName)) {}

TFileLoggerHandler::~TFileLoggerHandler() {
    if (_file) std::fclose(_file);
}

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
    const char* mode = "ab";
    if (!(static_cast<int64_t>(_maxFileLogSize) > static_cast<int64_t>(sizeMb))) {
        fs::path bak = file;
        bak.replace_extension(".bak");
        fs::remove(bak, ec);
        if (exists) {
            fs::rename(file, bak, ec);
            if (ec) throw std::runtime_error("Cannot rotate the log file: " + ec.message());
        }
        mode = "wb";
    }
#ifdef _WIN32
    _file = _wfopen(file.c_str(), mode[0] == 'a' ? L"ab" : L"wb");
#else
    _file = std::fopen(file.c_str(), mode);
#endif
    if (!_file) throw std::runtime_error("Cannot open the log file " + _fileName);
}

void TFileLoggerHandler::SetActive(bool value) {
    std::lock_guard<std::mutex> lock(_fileLock);
    if (value == FActive.load()) return;
    if (value) {
        Open();
        FActive.store(true);
    } else {
        FActive.store(false);
        if (_file) std::fclose(_file);
        _file = nullptr;
    }
}

void TFileLoggerHandler::Notify(const std::string& message) {
    std::lock_guard<std::mutex> lock(_fileLock);
    if (!_file) return;
    const std::string line = platform::sys::Utf8ToAnsi(message) + "\r\n";
    // Write errors are dropped per line.
    std::fwrite(line.data(), 1, line.size(), _file);
    std::fflush(_file);
}

}  // namespace qz
