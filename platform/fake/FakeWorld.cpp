#include "platform/fake/FakeWorld.h"

#include <filesystem>
#include <unistd.h>

namespace platform::fake {

World& W() {
    static World* w = new World;
    return *w;
}

void Reset() {
    World& w = W();
    std::lock_guard<std::recursive_mutex> lock(w.lock);
    const std::string keepDir = w.commonAppData;
    static_cast<WorldData&>(w) = WorldData();
    static int counter = 0;
    auto dir = std::filesystem::temp_directory_path() /
               ("qzfake-" + std::to_string(static_cast<long>(::getpid())) + "-" + std::to_string(++counter));
    std::error_code ec;
    if (!keepDir.empty()) std::filesystem::remove_all(keepDir, ec);
    std::filesystem::remove_all(dir, ec);  // left over by an earlier process with our pid
    std::filesystem::create_directories(dir, ec);
    w.commonAppData = dir.string();
}

}  // namespace platform::fake
