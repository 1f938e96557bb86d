#include "common/Files.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>

#include "common/Utils.h"
#include "platform/AsciiCase.h"
#include "platform/Clock.h"
#include "platform/Errors.h"
#include "platform/FileSystem.h"
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

std::string ChangeFileExt(const std::string& name, const std::string& ext) {
    const auto dot = name.rfind('.');
    const auto slash = name.find_last_of("\\/");
    const bool hasExt = dot != std::string::npos && (slash == std::string::npos || dot > slash);
    return (hasExt ? name.substr(0, dot) : name) + ext;
}

bool IsPlainFileName(const std::string& name) {
    if (name.empty() || name.size() > 200 || name == "." || name.find("..") != std::string::npos) return false;
    for (unsigned char c : name)
        if (c < 32 || std::strchr("<>:\"/\\|?*", c)) return false;
    if (name.back() == '.' || name.back() == ' ') return false;
    // The device names stay devices whatever extension follows them.
    std::string base = platform::AsciiLower(name.substr(0, name.find('.')));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    static const char* const devices[] = {"con", "prn", "aux", "nul", "conin$", "conout$"};
    for (const char* d : devices)
        if (base == d) return false;
    if (base.size() >= 4 && (base.rfind("com", 0) == 0 || base.rfind("lpt", 0) == 0)) {
        const std::string n = base.substr(3);
        if ((n.size() == 1 && n[0] >= '0' && n[0] <= '9') || n == "\xC2\xB9" || n == "\xC2\xB2" || n == "\xC2\xB3")
            return false;
    }
    return true;
}

namespace {

// A fresh "sts*.tmp" name nobody can guess in advance, so no one can plant a
// file or link under it; the exclusive create below refuses one anyway.
std::string TempName() {
    static std::mutex lock;
    static std::mt19937_64 rng{std::random_device{}() ^
                               (uint64_t{platform::sys::CurrentProcessId()} << 32) ^ platform::sys::TickCountMs()};
    std::lock_guard<std::mutex> guard(lock);
    char name[40];
    std::snprintf(name, sizeof name, "sts%016llX.tmp", static_cast<unsigned long long>(rng()));
    return name;
}

}  // namespace

TReplacingFile::TReplacingFile(const std::string& fileName, bool usersRead) : FFileName(fileName) {
    const std::string folder = ExtractFilePath(fileName);
    const auto others = usersRead ? platform::files::Others::Read : platform::files::Others::None;
    for (int attempt = 0;; ++attempt) {
        const std::string temp = folder + TempName();
        try {
            FTemp = std::make_unique<platform::files::NewFile>(temp, others);
            return;
        } catch (const platform::SystemError& e) {
            if (e.code() == platform::ErrorFileExists && attempt < 8) continue;
            throw std::runtime_error("Cannot write file \"" + temp + "\": " + e.what());
        }
    }
}

TReplacingFile::~TReplacingFile() = default;

void TReplacingFile::Write(const void* data, size_t size) {
    try {
        FTemp->Write(data, size);
    } catch (const platform::SystemError& e) {
        throw std::runtime_error("Cannot write file \"" + FTemp->Path() + "\": " + e.what());
    }
}

void TReplacingFile::Commit() {
    try {
        // Whole and on the disk before it can take the old file's place.
        FTemp->Finish();
    } catch (const platform::SystemError& e) {
        throw std::runtime_error("Cannot write file \"" + FTemp->Path() + "\": " + e.what());
    }
    // Windows refuses while another program (the manager, the agent) has the
    // old file open for a moment; a few short retries ride that out.
    std::string why;
    for (int attempt = 0; attempt < 5; ++attempt) {
        if (attempt) platform::sys::SleepMs(20);
        try {
            platform::files::MoveOver(FTemp->Path(), FFileName);
            return;
        } catch (const platform::SystemError& e) {
            why = e.what();
        }
    }
    std::error_code ignored;
    fs::remove(ToFsPath(FTemp->Path()), ignored);
    throw EReplaceError(why);
}

void ReplaceFileContent(const std::string& fileName, const std::vector<uint8_t>& data) {
    TReplacingFile file(fileName);
    file.Write(data.data(), data.size());
    file.Commit();
}

}  // namespace qz
