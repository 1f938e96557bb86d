// What the agent reads back from its data folder at start: "guard.ini" and
// "guard.data", raw (a damaged or planted file) or encrypted under their keys.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/Crypto.h"
#include "common/Logger.h"
#include "common/Settings.h"
#include "common/Utils.h"
#include "platform/fake/FakeWorld.h"
#include "protocol/AppState.h"

namespace {
void Plant(const std::string& path, const qz::TBytes& bytes) {
    std::filesystem::create_directories(qz::ToFsPath(qz::GetAgentDataFolder()));
    std::ofstream(qz::ToFsPath(path), std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (platform::fake::Reset(), true);
    (void)ready;
    if (size == 0) return 0;
    const qz::TBytes body(data + 1, data + size);
    const bool settingsFile = data[0] & 1;
    const bool encrypted = data[0] & 2;
    if (settingsFile) {
        Plant(qz::TSettings::SettingsFilePath(),
              encrypted ? qz::TCrypto::Encrypt(body, qz::ToBytes(qz::TSettings::SettingsFileKey)) : body);
        qz::TSettings settings;
        settings.Init();
        settings.SaveSettings();
    } else {
        qz::TSettings settings;
        settings.SetPasswordHash("CGCbzzh9ExYqUp+8Dt/1CA==");
        const qz::TBytes hash = qz::TBase64::DecodeBase64(settings.PasswordHash());
        Plant(qz::TApplicationState::AppListFile(), encrypted ? qz::TCrypto::Encrypt(body, hash) : body);
        qz::TAppStateContext ctx;
        ctx.Settings = &settings;
        qz::TApplicationState state(ctx);
        state.ReadSavedList();
    }
    return 0;
}
