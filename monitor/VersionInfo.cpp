#include "monitor/VersionInfo.h"

#include "platform/FileVersion.h"
#include "platform/SystemInfo.h"

namespace qz {

namespace {
const char* const kNames[10] = {"CompanyName",    "FileDescription",  "FileVersion", "InternalName",
                                "LegalCopyright", "LegalTradeMark",   "OriginalFileName", "ProductName",
                                "ProductVersion", "Comments"};
}

TrpVersionInfo::TrpVersionInfo() : TrpVersionInfo(platform::sys::ModulePath()) {}

TrpVersionInfo::TrpVersionInfo(const std::string& filePath) {
    for (int i = 0; i < 10; ++i) {
        try {
            if (auto v = platform::sys::VersionString(filePath, kNames[i])) FVersionInfo[i] = *v;
        } catch (...) {
        }
    }
}

}  // namespace qz
