// The MSI package's one custom action: the public properties an administrator
// passed to msiexec become the "config.ini" of the manager's unattended mode,
// which the package then runs. Deferred and without impersonation, so it
// writes as the installer service; the file is for SYSTEM and the
// administrators only, since it holds passwords until the manager deletes it.
#include <windows.h>
#include <msi.h>
#include <msiquery.h>

#include <string>
#include <vector>

#include "common/Files.h"
#include "common/Utils.h"
#include "manager/Deploy.h"
#include "platform/win32/WinText.h"

namespace {

std::string Property(MSIHANDLE install, const wchar_t* name) {
    DWORD length = 0;
    wchar_t empty[1] = L"";
    if (MsiGetPropertyW(install, name, empty, &length) != ERROR_MORE_DATA) return {};
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
    length = static_cast<DWORD>(buffer.size());
    if (MsiGetPropertyW(install, name, buffer.data(), &length) != ERROR_SUCCESS) return {};
    return platform::win::Utf8(buffer.data(), length);
}

// A line in the installer's log; never a value.
void Log(MSIHANDLE install, const std::string& text) {
    if (PMSIHANDLE record = MsiCreateRecord(1)) {
        MsiRecordSetStringW(record, 0, platform::win::Wide("QZConfigAction: " + text).c_str());
        MsiProcessMessage(install, INSTALLMESSAGE_INFO, record);
    }
}

}  // namespace

extern "C" UINT __stdcall WriteUnattendedConfig(MSIHANDLE install) {
    try {
        const qz::TDeployProperties p = qz::ParseDeployProperties(Property(install, L"CustomActionData"));
        if (p.Server.empty()) {
            Log(install, "no SERVER given, nothing to configure");
            return ERROR_SUCCESS;
        }
        // The folders as the agent keeps them, before the file with the passwords goes in.
        if (!qz::SecureAgentFolders().Data) throw std::runtime_error("the data folder can't be secured");
        const std::string text = qz::UnattendedConfigText(p);
        qz::ReplaceFileContent(qz::UnattendedConfigPath(), std::vector<uint8_t>(text.begin(), text.end()));
        Log(install, "wrote " + qz::UnattendedConfigPath());
        return ERROR_SUCCESS;
    } catch (const std::exception& e) {
        Log(install, std::string("can not write the configuration: ") + e.what());
        return ERROR_INSTALL_FAILURE;
    }
}
