#pragma once
#include <fstream>
#include <mutex>
#include <string>

#include "common/Logger.h"

namespace qz {

// The rotating log file. Created inactive; activation opens (and, at the size
// limit, rotates) the file.
class TFileLoggerHandler : public TLoggerHandler {
public:
    TFileLoggerHandler(int32_t level, std::string fileName, int32_t maxFileLogSizeMb);
    ~TFileLoggerHandler() override;

    // Raises when the folder or the file can't be made.
    void SetActive(bool value) override;
    void Notify(const std::string& message) override;
    const std::string& FileName() const { return _fileName; }

private:
    void Open();
    int32_t _maxFileLogSize;
    std::string _fileName;
    std::ofstream _file;
    std::mutex _fileLock;  // keeps activation apart from a line being written
};

}  // namespace qz
