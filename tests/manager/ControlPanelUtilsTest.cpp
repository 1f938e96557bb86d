#include "manager/ControlPanelUtils.h"

#include <gtest/gtest.h>

#include "platform/Registry.h"
#include "tests/support/TestSupport.h"

using namespace qz;
using platform::reg::Hive;
using platform::reg::Key;
using platform::reg::View;

namespace {

const std::string kProgram = "C:\\Program Files\\Tallisto\\QZManager.exe";
const std::string kId = "{987FEA4E-5C72-4f44-B168-B183B58ED115}";

Key NameSpace(View view = View::Wow64) {
    return {Hive::LocalMachine, "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Explorer\\ControlPanel\\NameSpace\\" + kId,
            view};
}
Key Clsid(const std::string& sub = "", View view = View::Wow64) {
    return {Hive::ClassesRoot, "CLSID\\" + kId + sub, view};
}

std::optional<std::string> Text(const Key& key, const std::string& name) {
    const auto v = platform::reg::QueryValue(key, name);
    if (!v) return std::nullopt;
    EXPECT_EQ(v->type, platform::reg::ValueType::String) << name;
    return v->text;
}

class ManagerControlPanel : public qztest::PlatformTest {};

}  // namespace

TEST_F(ManagerControlPanel, RegistrationWritesTheEntryThroughThe64BitView) {
    EXPECT_TRUE(TControlPanelUtils::RegisterApplet(kProgram));
    EXPECT_TRUE(log->Has("Try to register control panel applet"));

    const struct {
        Key key;
        std::string name, data;
    } values[] = {
        {NameSpace(), "", "Tallisto Client"},
        {Clsid(), "", "Tallisto Client"},
        {Clsid(), "InfoTip", "Configures Tallisto Client"},
        {Clsid(), "System.ApplicationName", "Tallisto.Settings"},
        {Clsid(), "System.ControlPanel.Category", "5"},
        {Clsid(), "{305CA226-D286-468e-B848-2B2E8E697B74} 2", "5"},
        {Clsid(), "System.Software.TasksFileUrl", kProgram + ",-20"},
        {Clsid("\\DefaultIcon"), "", kProgram + ",0"},
        {Clsid("\\Shell\\Open\\Command"), "", kProgram},
    };
    for (const auto& v : values) EXPECT_EQ(Text(v.key, v.name), v.data) << v.key.path << " " << v.name;
    EXPECT_EQ(platform::reg::ValueNames(Clsid()).size(), 6u);

    EXPECT_FALSE(platform::reg::KeyExists(NameSpace(View::Wow32)));
    EXPECT_FALSE(platform::reg::KeyExists(Clsid("", View::Wow32)));
    EXPECT_FALSE(platform::reg::KeyExists({Hive::LocalMachine, "CLSID\\" + kId, View::Wow64}));
}

TEST_F(ManagerControlPanel, RemovalTakesBothKeysWithEverythingBelow) {
    ASSERT_TRUE(TControlPanelUtils::RegisterApplet(kProgram));
    platform::reg::SetString(Clsid("\\Shell\\Extra"), "", "left by someone");
    const Key neighbour{Hive::ClassesRoot, "CLSID\\{00000000-0000-0000-0000-000000000001}", View::Wow64};
    platform::reg::SetString(neighbour, "", "other");

    EXPECT_TRUE(TControlPanelUtils::UnregisterApplet());
    EXPECT_TRUE(log->Has("Try to unregister control panel applet"));
    EXPECT_FALSE(platform::reg::KeyExists(NameSpace()));
    EXPECT_FALSE(platform::reg::KeyExists(Clsid()));
    EXPECT_FALSE(platform::reg::KeyExists(Clsid("\\Shell\\Extra")));
    EXPECT_EQ(Text(neighbour, ""), "other");

    // Nothing left to remove is no failure.
    EXPECT_TRUE(TControlPanelUtils::UnregisterApplet());
}

TEST_F(ManagerControlPanel, AWriteThatFailsIsReportedNotRaised) {
    W().registryReadOnly = true;
    EXPECT_FALSE(TControlPanelUtils::RegisterApplet(kProgram));
}
