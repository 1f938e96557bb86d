#include "common/Zip.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>

#include <zlib.h>

#include "tests/support/TestSupport.h"

using namespace qz;

namespace {

uint32_t Get32(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
uint16_t Get16(const std::vector<uint8_t>& b, size_t at) { return static_cast<uint16_t>(b[at] | (b[at + 1] << 8)); }

std::vector<uint8_t> RawInflate(const uint8_t* data, size_t size, size_t expected) {
    std::vector<uint8_t> out(expected);
    z_stream z{};
    inflateInit2(&z, -15);
    z.next_in = const_cast<Bytef*>(data);
    z.avail_in = static_cast<uInt>(size);
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = inflate(&z, Z_FINISH);
    inflateEnd(&z);
    EXPECT_EQ(rc, Z_STREAM_END);
    return out;
}

std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

TEST(Zip, AnEmptyArchiveIsTheEndRecordAlone) {
    const auto zip = TZipWriter().Finish();
    ASSERT_EQ(zip.size(), 22u);
    EXPECT_EQ(Get32(zip, 0), 0x06054B50u);
}

TEST(Zip, EntriesAsOldUnpackersReadThem) {
    TZipWriter w;
    uint16_t t, d;
    TZipWriter::DosDateTime(2025, 3, 24, 9, 5, 7, t, d);
    EXPECT_EQ(t, (9 << 11) | (5 << 5) | 3);
    EXPECT_EQ(d, (45 << 9) | (3 << 5) | 24);
    std::string text;
    for (int i = 0; i < 2000; ++i) text += "[24.03.2025 09:05:07.000] line " + std::to_string(i) + "\r\n";
    w.Add({"kv.log", Bytes("old"), t, d, 0x20});
    w.Add({"empty.bak", {}, t, d, 0x21});
    w.Add({"kv.log", Bytes(text), t, d, 0x20});  // the same name: the later file wins
    ASSERT_EQ(w.Count(), 2u);
    const auto zip = w.Finish();

    // First entry: stored, no data.
    EXPECT_EQ(Get32(zip, 0), 0x04034B50u);
    EXPECT_EQ(Get16(zip, 8), 0);     // stored
    EXPECT_EQ(Get32(zip, 18), 0u);   // compressed size
    EXPECT_EQ(Get16(zip, 26), 9);    // name length
    const size_t second = 30 + 9;
    EXPECT_EQ(Get32(zip, second), 0x04034B50u);
    EXPECT_EQ(Get16(zip, second + 4), 20);  // version needed
    EXPECT_EQ(Get16(zip, second + 6), 0);   // no flags: no descriptor, no UTF-8
    EXPECT_EQ(Get16(zip, second + 8), 8);   // deflate
    EXPECT_EQ(Get16(zip, second + 10), t);
    EXPECT_EQ(Get16(zip, second + 12), d);
    const uint32_t packed = Get32(zip, second + 18);
    EXPECT_EQ(Get32(zip, second + 22), text.size());
    EXPECT_LT(packed, text.size() / 5);
    const auto data = RawInflate(zip.data() + second + 30 + 6, packed, text.size());
    EXPECT_EQ(std::string(data.begin(), data.end()), text);
    EXPECT_EQ(Get32(zip, second + 14), crc32(0L, data.data(), static_cast<uInt>(data.size())));

    // The central directory and the end record point at each other.
    const size_t end = zip.size() - 22;
    EXPECT_EQ(Get32(zip, end), 0x06054B50u);
    EXPECT_EQ(Get16(zip, end + 10), 2);
    const size_t dir = Get32(zip, end + 16);
    EXPECT_EQ(dir + Get32(zip, end + 12), end);
    EXPECT_EQ(Get32(zip, dir), 0x02014B50u);
    EXPECT_EQ(Get32(zip, dir + 38), 0x21u);  // attributes of the first entry
    EXPECT_EQ(Get32(zip, dir + 42), 0u);     // its local header's offset

    if (!qztest::kHostIsWindows) {
        // An unpacker we didn't write reads it back.
        const auto path = std::filesystem::temp_directory_path() / ("qz-zip-" + std::to_string(std::random_device()()) + ".zip");
        std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(zip.data()), zip.size());
        const std::string cmd = "/usr/bin/python3 -c \"import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
                                "assert z.testzip() is None; assert z.namelist() == ['empty.bak', 'kv.log']; "
                                "assert z.read('kv.log').startswith(b'[24.03.2025'); "
                                "assert z.getinfo('kv.log').date_time == (2025, 3, 24, 9, 5, 6)\" " +
                                path.string();
        EXPECT_EQ(std::system(cmd.c_str()), 0);
        std::filesystem::remove(path);
    }
}

}  // namespace
