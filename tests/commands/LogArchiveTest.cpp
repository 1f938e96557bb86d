#include "commands/LogArchive.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include "common/Utils.h"
#include "tests/support/TestSupport.h"

using namespace qz;

namespace {

namespace fs = std::filesystem;

class LogArchive : public qztest::PlatformTest {
protected:
    fs::path Logs() { return ToFsPath(GetAgentDataFolder() + "Logs"); }
    void Put(const fs::path& rel, const std::string& text) {
        fs::create_directories((Logs() / rel).parent_path());
        std::ofstream(Logs() / rel, std::ios::binary) << text;
    }
    // Names in the central directory, in order, and each entry's method.
    static std::vector<std::pair<std::string, int>> Entries(const std::vector<uint8_t>& zip) {
        std::vector<std::pair<std::string, int>> out;
        auto u16 = [&](size_t at) { return zip[at] | (zip[at + 1] << 8); };
        auto u32 = [&](size_t at) { return static_cast<uint32_t>(u16(at) | (u16(at + 2) << 16)); };
        const size_t end = zip.size() - 22;
        size_t at = u32(end + 16);
        for (int i = 0; i < u16(end + 10); ++i) {
            const int nameLen = u16(at + 28);
            out.emplace_back(std::string(zip.begin() + at + 46, zip.begin() + at + 46 + nameLen), u16(at + 10));
            at += 46 + nameLen;
        }
        return out;
    }
    // Two unpackers we didn't write agree that the archive is sound; the
    // Python one also prints what it holds.
    static std::string CheckedElsewhere(const std::vector<uint8_t>& zip) {
        const auto path = fs::temp_directory_path() / ("qz-logs-" + std::to_string(std::random_device()()) + ".zip");
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(zip.data()), zip.size());
        const auto listing = path.string() + ".txt";
        const std::string py = "/usr/bin/python3 -c \"import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
                               "assert z.testzip() is None; "
                               "open(sys.argv[2], 'w').write(';'.join('%s=%s' % (n, z.read(n).decode()) for n in z.namelist()))\" " +
                               path.string() + " " + listing;
        std::string result = "unpackers failed";
        if (std::system(py.c_str()) == 0 && std::system(("unzip -tq " + path.string() + " >/dev/null").c_str()) == 0) {
            std::ifstream in(listing);
            result.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        std::error_code ec;
        fs::remove(path, ec);
        fs::remove(listing, ec);
        return result;
    }
};

TEST_F(LogArchive, WithoutALogsFolderTheArchiveIsTheEndRecordAlone) {
    std::error_code ec;
    fs::remove_all(Logs(), ec);
    const auto zip = TLogArchive::Build(GetAgentDataFolder());
    ASSERT_EQ(zip.size(), 22u);
    EXPECT_EQ(zip[0], 0x50);
    EXPECT_EQ(zip[3], 0x06);
    // An empty Logs folder gives the same.
    fs::create_directories(Logs());
    EXPECT_EQ(TLogArchive::Build(GetAgentDataFolder()).size(), 22u);
}

TEST_F(LogArchive, TheFixedFilesThenTheSessionProgramsInTheirOrder) {
    Put("kv.log", "agent log");
    Put("KVServiceUI.2.log", "ui two");
    Put("kv.bak", "agent old");
    Put("quib/quib.log", "quib log");
    Put("KVServiceUI.bak", "");  // empty: stored
    Put("KVServiceUI.log", "ui log");
    Put("KVServiceUI.1.bak", "ui one old");
    Put("other.log", "not ours");
    Put("quib.log", "not in quib");
    fs::create_directories(Logs() / "KVServiceUI.d.log");  // a folder, skipped
    const auto zip = TLogArchive::Build(GetAgentDataFolder());
    const std::vector<std::pair<std::string, int>> expected = {
        {"kv.log", 8},          {"kv.bak", 8},           {"quib.log", 8}, {"KVServiceUI.log", 8},
        {"KVServiceUI.bak", 0}, {"KVServiceUI.2.log", 8}, {"KVServiceUI.1.bak", 8}};
    EXPECT_EQ(Entries(zip), expected);
    if (!qztest::kHostIsWindows) {
        EXPECT_EQ(CheckedElsewhere(zip),
                  "kv.log=agent log;kv.bak=agent old;quib.log=quib log;KVServiceUI.log=ui log;KVServiceUI.bak=;"
                  "KVServiceUI.2.log=ui two;KVServiceUI.1.bak=ui one old");
    }
}

TEST_F(LogArchive, OneLogGivesOneEntry) {
    Put("kv.log", "[24.03.2025 09:05:06] line one\r\n[24.03.2025 09:05:07] line two\r\n");
    const auto zip = TLogArchive::Build(GetAgentDataFolder());
    EXPECT_EQ(Entries(zip), (std::vector<std::pair<std::string, int>>{{"kv.log", 8}}));
    if (!qztest::kHostIsWindows) {
        EXPECT_EQ(CheckedElsewhere(zip), "kv.log=[24.03.2025 09:05:06] line one\r\n[24.03.2025 09:05:07] line two\r\n");
    }
}

}  // namespace
