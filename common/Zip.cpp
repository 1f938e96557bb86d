#include "common/Zip.h"

#include <stdexcept>

#include <zlib.h>

namespace qz {

namespace {

void Put16(std::vector<uint8_t>& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, v & 0xFFFF);
    Put16(out, v >> 16);
}

std::vector<uint8_t> RawDeflate(const std::vector<uint8_t>& data) {
    z_stream z{};
    // Negative window bits: the bare deflate stream, no zlib header or trailer.
    if (deflateInit2(&z, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflate cannot start");
    std::vector<uint8_t> out(deflateBound(&z, static_cast<uLong>(data.size())));
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    const int rc = deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    if (rc != Z_STREAM_END) throw std::runtime_error("deflate failed");
    return out;
}

}  // namespace

void TZipWriter::Add(Entry entry) {
    for (auto it = FEntries.begin(); it != FEntries.end(); ++it)
        if (it->name == entry.name) {
            FEntries.erase(it);
            break;
        }
    FEntries.push_back(std::move(entry));
}

void TZipWriter::DosDateTime(int year, int month, int day, int hour, int minute, int second, uint16_t& time,
                             uint16_t& date) {
    if (year < 1980) year = 1980, month = 1, day = 1, hour = minute = second = 0;
    if (year > 2107) year = 2107;
    time = static_cast<uint16_t>((hour << 11) | (minute << 5) | (second / 2));
    date = static_cast<uint16_t>(((year - 1980) << 9) | (month << 5) | day);
}

std::vector<uint8_t> TZipWriter::Finish() const {
    // Classic ZIP counts entries in 16 bits and sizes in 32.
    if (FEntries.size() > 0xFFFF) throw std::runtime_error("too many entries for an archive");
    std::vector<uint8_t> out, central;
    for (const Entry& e : FEntries) {
        if (e.data.size() > 0xFFFFFFFEu || e.name.size() > 0xFFFF)
            throw std::runtime_error("entry too large for an archive: " + e.name);
        const bool stored = e.data.empty();
        const std::vector<uint8_t> packed = stored ? std::vector<uint8_t>() : RawDeflate(e.data);
        if (out.size() + packed.size() + 30 + e.name.size() > 0xFFFFFFFEu)
            throw std::runtime_error("archive too large");
        const uint32_t crc = static_cast<uint32_t>(crc32(0L, e.data.data(), static_cast<uInt>(e.data.size())));
        const uint32_t offset = static_cast<uint32_t>(out.size());
        const uint16_t method = stored ? 0 : 8;
        // The fields the local and the central header share, from the flags on.
        auto shared = [&](std::vector<uint8_t>& o) {
            Put16(o, 0);  // flags: no descriptor, no UTF-8 names
            Put16(o, method);
            Put16(o, e.dosTime);
            Put16(o, e.dosDate);
            Put32(o, crc);
            Put32(o, static_cast<uint32_t>(packed.size()));
            Put32(o, static_cast<uint32_t>(e.data.size()));
            Put16(o, static_cast<uint32_t>(e.name.size()));
            Put16(o, 0);  // extra field
        };
        Put32(out, 0x04034B50);
        Put16(out, 20);  // version needed
        shared(out);
        out.insert(out.end(), e.name.begin(), e.name.end());
        out.insert(out.end(), packed.begin(), packed.end());

        Put32(central, 0x02014B50);
        Put16(central, 20);  // made by
        Put16(central, 20);  // needed
        shared(central);
        Put16(central, 0);  // comment
        Put16(central, 0);  // disk
        Put16(central, 0);  // internal attributes
        Put32(central, e.attributes & 0xFFFF);
        Put32(central, offset);
        central.insert(central.end(), e.name.begin(), e.name.end());
    }
    const uint32_t centralOffset = static_cast<uint32_t>(out.size());
    out.insert(out.end(), central.begin(), central.end());
    Put32(out, 0x06054B50);
    Put16(out, 0);
    Put16(out, 0);
    Put16(out, static_cast<uint32_t>(FEntries.size()));
    Put16(out, static_cast<uint32_t>(FEntries.size()));
    Put32(out, static_cast<uint32_t>(central.size()));
    Put32(out, centralOffset);
    Put16(out, 0);
    return out;
}

}  // namespace qz
