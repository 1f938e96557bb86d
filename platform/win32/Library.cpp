#include "platform/Library.h"

#include <map>
#include <mutex>

#include "platform/win32/WinText.h"

namespace platform::lib {

std::optional<bool> CallBoolEntry(const std::string& libraryPath, const std::string& entry) {
    static std::mutex lock;
    static std::map<std::string, HMODULE> loaded;
    HMODULE module = nullptr;
    {
        std::lock_guard<std::mutex> g(lock);
        auto it = loaded.find(libraryPath);
        if (it == loaded.end()) {
            // The full path only, with its own folder for its dependencies:
            // never a library of the same name found elsewhere on the search path.
            module = LoadLibraryExW(win::Wide(libraryPath).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
            it = loaded.emplace(libraryPath, module).first;
        }
        module = it->second;
    }
    if (!module) return std::nullopt;
    using BoolFn = BOOL(WINAPI*)();
    auto fn = reinterpret_cast<BoolFn>(reinterpret_cast<void*>(GetProcAddress(module, entry.c_str())));
    if (!fn) return std::nullopt;
    return fn() != FALSE;
}

}  // namespace platform::lib
