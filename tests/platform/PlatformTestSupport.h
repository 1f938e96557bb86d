#pragma once
#include <string>

#include "platform/SystemInfo.h"

namespace qztest {

// A Unix path of the build tree as the Windows side sees it (drive Z: maps /).
inline std::string WinPath(std::string unixPath) {
    for (auto& c : unixPath)
        if (c == '/') c = '\\';
    return "Z:" + unixPath;
}

// Names unique to this run, so parallel or aborted runs don't collide.
inline std::string Unique(const std::string& base) {
    return base + std::to_string(platform::sys::CurrentProcessId());
}

}  // namespace qztest
