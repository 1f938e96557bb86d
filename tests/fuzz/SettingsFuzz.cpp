// Settings documents: what the server pushes and what "guard.ini" holds.
#include <cstddef>
#include <cstdint>
#include <string>

#include "common/Settings.h"
#include "platform/fake/FakeWorld.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (platform::fake::Reset(), true);
    (void)ready;
    qz::TSettings settings;
    try {
        settings.FillSettings(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const std::exception&) {
        // Rejected input is an outcome, not a failure.
    }
    pugi::xml_document doc;
    settings.SaveSettings(doc.append_child("settings"));
    return 0;
}
