#include "platform/FsPath.h"

namespace platform {

std::filesystem::path FsPath(const std::string& path) {
    std::string p = path;
    if (std::filesystem::path::preferred_separator == '/') {
        for (char& c : p)
            if (c == '\\') c = '/';
    }
#if defined(__cpp_char8_t)
    return std::filesystem::path(std::u8string(p.begin(), p.end()));
#else
    return std::filesystem::u8path(p);
#endif
}

}  // namespace platform
