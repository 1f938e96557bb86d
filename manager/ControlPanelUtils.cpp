#include "manager/ControlPanelUtils.h"

#include "common/Logger.h"
#include "platform/Registry.h"

namespace qz {

namespace {

using platform::reg::Hive;
using platform::reg::Key;
using platform::reg::View;

// Explorer is 64-bit on 64-bit Windows and reads these through its own view.
Key NameSpaceKey() {
    return {Hive::LocalMachine,
            std::string("SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ControlPanel\\NameSpace\\") +
                TControlPanelUtils::AppletId,
            View::Wow64};
}

Key ClassKey(const std::string& sub = "") {
    return {Hive::ClassesRoot, std::string("CLSID\\") + TControlPanelUtils::AppletId + sub, View::Wow64};
}

}  // namespace

bool TControlPanelUtils::RegisterApplet(const std::string& programPath) {
    TLogger::Fine("Try to register control panel applet");
    try {
        using platform::reg::SetString;
        SetString(NameSpaceKey(), "", "Tallisto Client");
        const Key cls = ClassKey();
        SetString(cls, "", "Tallisto Client");
        SetString(cls, "InfoTip", "Configures Tallisto Client");
        SetString(cls, "System.ApplicationName", "Tallisto.Settings");
        SetString(cls, "System.ControlPanel.Category", "5");
        SetString(cls, "{305CA226-D286-468e-B848-2B2E8E697B74} 2", "5");
        SetString(cls, "System.Software.TasksFileUrl", programPath + ",-20");
        SetString(ClassKey("\\DefaultIcon"), "", programPath + ",0");
        SetString(ClassKey("\\Shell\\Open\\Command"), "", programPath);
        return true;
    } catch (...) {
        return false;
    }
}

bool TControlPanelUtils::UnregisterApplet() {
    TLogger::Fine("Try to unregister control panel applet");
    try {
        // A key that isn't there is already removed.
        platform::reg::DeleteKey(NameSpaceKey());
        platform::reg::DeleteKey(ClassKey());
        return true;
    } catch (...) {
        return false;
    }
}

}  // namespace qz
