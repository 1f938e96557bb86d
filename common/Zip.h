#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace qz {

// A ZIP archive built in memory with the oldest features only (no ZIP64, no
// data descriptors, no extra fields, no comments), which every unpacker reads.
class TZipWriter {
public:
    struct Entry {
        std::string name;            // as stored: the caller converts it
        std::vector<uint8_t> data;
        uint16_t dosTime = 0, dosDate = 0;
        uint32_t attributes = 0;     // MS-DOS attribute bits
    };
    // An entry of the same name replaces the earlier one. Empty data is
    // stored; anything else is raw deflate at the highest level.
    void Add(Entry entry);
    size_t Count() const { return FEntries.size(); }
    // The archive's bytes; with no entries the 22-byte end record alone.
    std::vector<uint8_t> Finish() const;

    // MS-DOS time and date fields of a local time (years before 1980 clamp to 1980).
    static void DosDateTime(int year, int month, int day, int hour, int minute, int second, uint16_t& time,
                            uint16_t& date);

private:
    std::vector<Entry> FEntries;
};

}  // namespace qz
