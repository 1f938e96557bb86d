#pragma once
// Paths are kept in the Windows form above the seam; this turns one into a
// file-system path of the host (UTF-8 aware, "/" separators where the host
// uses them). Portable code of the platform API; nothing here raises but
// allocation.
#include <filesystem>
#include <string>

namespace platform {

std::filesystem::path FsPath(const std::string& path);

}  // namespace platform
