#include "commands/LogArchive.h"

#include "common/Logger.h"
#include "common/Zip.h"
#include "platform/CodePage.h"
#include "platform/FileSystem.h"

namespace qz {

namespace {

// The session program keeps its logs beside the agent's, named after itself.
constexpr const char* SessionProgramBase = "KVServiceUI";

class TCollector {
public:
    // Every file the mask matches, in listing order; folders are skipped.
    void AddMatches(const std::string& folder, const std::string& mask) {
        for (const auto& f : platform::files::FindFiles(folder + mask))
            if (!f.directory()) AddFile(folder + f.name, f);
    }

    std::vector<uint8_t> Finish() const { return FZip.Finish(); }

private:
    void AddFile(const std::string& path, const platform::files::FoundFile& f) {
        if (f.size > TLogArchive::MaxFileBytes || FTotal + f.size > TLogArchive::MaxTotalBytes) {
            TLogger::Warning("Log file left out of the archive, too large: " + path);
            return;
        }
        TZipWriter::Entry e;
        e.data = platform::files::ReadShared(path, TLogArchive::MaxFileBytes);
        FTotal += e.data.size();
        e.name = platform::sys::Utf8ToAnsi(f.name);
        e.attributes = f.attributes & 0xFFFF;
        TZipWriter::DosDateTime(f.lastWrite.year, f.lastWrite.month, f.lastWrite.day, f.lastWrite.hour,
                                f.lastWrite.minute, f.lastWrite.second, e.dosTime, e.dosDate);
        FZip.Add(std::move(e));
    }

    TZipWriter FZip;
    uint64_t FTotal = 0;
};

}  // namespace

std::vector<uint8_t> TLogArchive::Build(const std::string& dataFolder) {
    try {
        const std::string logs = dataFolder + "Logs\\";
        TCollector zip;
        // No Logs folder: the archive stays empty.
        if (!platform::files::FindFiles(dataFolder + "Logs").empty()) {
            const std::string base = SessionProgramBase;
            // A fixed name is its own mask: it matches the file alone, or nothing.
            zip.AddMatches(logs, "kv.log");
            zip.AddMatches(logs, "kv.bak");
            zip.AddMatches(logs + "quib\\", "quib.log");
            zip.AddMatches(logs + "quib\\", "quib.bak");
            zip.AddMatches(logs, base + ".log");
            zip.AddMatches(logs, base + ".bak");
            zip.AddMatches(logs, base + ".*.log");
            zip.AddMatches(logs, base + ".*.bak");
        }
        return zip.Finish();
    } catch (const std::exception& e) {
        TLogger::Warning(std::string("Error while zip log - ") + e.what());
        return {};
    }
}

}  // namespace qz
