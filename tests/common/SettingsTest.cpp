#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <pugixml.hpp>

#include "tests/support/TestSupport.h"
#include "common/Crypto.h"
#include "common/Settings.h"
#include "common/Utils.h"

using namespace qz;
namespace fs = std::filesystem;

namespace {

const std::vector<std::string> kFileOrder = {
    "server_url",  "listener_port",      "i_am_alive_period",   "network_outage_timeout", "lock_on_network_outage",
    "password_hash", "room_name",        "workstation_name",    "inactivity_time",        "logoff_warning_time",
    "idle_timeout_action", "banner_timeout", "adv_use_ws",      "ws_timeout",             "login_s_m",
    "enable_session_limit", "sl_only_4_nonadmins", "bypass_accounts"};

// Base64 of the MD5 of "harbour", from the reference vectors.
constexpr const char* kDefaultHash = "CGCbzzh9ExYqUp+8Dt/1CA==";

std::vector<std::string> ChildNames(const pugi::xml_node& n) {
    std::vector<std::string> out;
    for (pugi::xml_node c = n.first_child(); c; c = c.next_sibling()) out.push_back(c.name());
    return out;
}

std::vector<std::string> AttributeNames(const pugi::xml_node& n) {
    std::vector<std::string> out;
    for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute()) out.push_back(a.name());
    return out;
}

// Every value, derived ones included, for whole-object comparisons.
std::vector<std::string> Dump(const TSettings& s) {
    std::vector<std::string> d = {
        s.ServerUrl(), s.ServerURI(), std::to_string(s.ListenerPort()), std::to_string(s.IMAlivePeriod()),
        std::to_string(s.NetworkOutageTimeout()), std::to_string(s.BannerTimeout()),
        std::to_string(s.LockOnNetworkFailure()), s.PasswordHash(), s.MachineName(), s.RoomName(),
        s.InactivityTime(), s.InactivityFormShowTime(), std::to_string(s.IdleTimeoutAction()),
        std::to_string(s.UseWebsockets()), std::to_string(s.WebsocketTimeout()), s.LoginScreenMessage(),
        std::to_string(s.EnableSessionLimit()), std::to_string(s.SessionLimitOnly4Nonadmins()), s.BypassAccounts()};
    if (const auto c = s.ChtlButtonSettings()) {
        for (const std::string& v :
             {c->Enabled(), c->VerticalPosition(), c->HorizontalPosition(), std::to_string(c->Width()),
              std::to_string(c->Height()), std::to_string(c->FontSize()), std::to_string(c->FontBold()),
              c->TextColor(), c->Color(), c->ButtonClickAction()})
            d.push_back(v);
    } else {
        d.push_back("no chtl");
    }
    return d;
}

class SettingsTest : public qztest::PlatformTest {
protected:
    static std::string Ini() { return TSettings::SettingsFilePath(); }

    static void WriteRaw(const std::string& path, const TBytes& bytes) {
        fs::create_directories(ToFsPath(path).parent_path());
        std::ofstream out(ToFsPath(path), std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    static TBytes ReadRaw(const std::string& path) {
        std::ifstream in(ToFsPath(path), std::ios::binary);
        return TBytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    }
    static TBytes Encrypted(const std::string& xml, const std::string& key = "tide_lamps") {
        return TCrypto::Encrypt(ToBytes(xml), ToBytes(key));
    }
    static std::string Decrypted(const std::string& path) {
        return ToText(TCrypto::Decrypt(ReadRaw(path), ToBytes("tide_lamps")));
    }
    // Applies the elements as one "settings" (or "sl_settings") document.
    static void Update(TSettings& s, const std::string& elements, bool additional = false) {
        pugi::xml_document d;
        ASSERT_TRUE(d.load_string(("<settings>" + elements + "</settings>").c_str()));
        s.FillSettings(d.document_element(), additional);
    }
    static std::vector<std::string> FolderEntries(const std::string& folder) {
        std::vector<std::string> out;
        for (const auto& e : fs::directory_iterator(ToFsPath(folder))) out.push_back(e.path().filename().u8string());
        return out;
    }
    int CountLines(const std::string& line) {
        int n = 0;
        for (const auto& l : log->Lines()) n += l == line;
        return n;
    }
    int CountLinesStarting(const std::string& prefix) {
        int n = 0;
        for (const auto& l : log->Lines()) n += l.rfind(prefix, 0) == 0;
        return n;
    }
    bool HasLineStarting(const std::string& prefix) { return CountLinesStarting(prefix) > 0; }
};

TEST_F(SettingsTest, StartsWithDefaults) {
    TSettings s;
    EXPECT_EQ(s.ServerUrl(), "");
    EXPECT_EQ(s.ServerURI(), "http://127.0.0.1/korvane");
    EXPECT_EQ(s.PasswordHash(), kDefaultHash);
    EXPECT_EQ(s.ListenerPort(), 8087);
    EXPECT_EQ(s.IMAlivePeriod(), 30000);
    EXPECT_EQ(s.NetworkOutageTimeout(), 180000);
    EXPECT_EQ(s.BannerTimeout(), 15000);
    EXPECT_EQ(s.WebsocketTimeout(), 20000);
    EXPECT_EQ(s.InactivityFormShowTime(), "1");
    EXPECT_EQ(s.InactivityTime(), "");
    EXPECT_EQ(s.IdleTimeoutAction(), 0);
    EXPECT_FALSE(s.LockOnNetworkFailure() || s.UseWebsockets() || s.EnableSessionLimit() ||
                 s.SessionLimitOnly4Nonadmins());
    EXPECT_FALSE(s.ChtlButtonSettings());
    EXPECT_TRUE(log->Has("Wrong settings \xE2\x80\x93 Server URL is empty"));
}

TEST_F(SettingsTest, SavesEncryptedDocumentInFileOrder) {
    TSettings s;
    s.SetServerUrl("guard.lab");
    s.SetListenerPort(9001);
    s.SetLockOnNetworkFailure(true);
    s.SetRoomName("Room 4");
    s.SetIdleTimeoutAction(1503);
    ASSERT_FALSE(fs::exists(ToFsPath(GetAgentDataFolder())));
    ASSERT_TRUE(s.SaveSettings());  // creates the data folder

    const TBytes raw = ReadRaw(Ini());
    EXPECT_EQ(raw.size() % 16, 0u);
    const std::string text = Decrypted(Ini());
    EXPECT_EQ(text.rfind("<?xml", 0), 0u) << "ciphertext of the bare UTF-8 document, no byte-order mark";
    pugi::xml_document d;
    ASSERT_TRUE(d.load_string(text.c_str(), pugi::parse_default | pugi::parse_declaration));
    const pugi::xml_node decl = d.first_child();
    ASSERT_EQ(decl.type(), pugi::node_declaration);
    EXPECT_STREQ(decl.attribute("version").value(), "1.0");
    EXPECT_STREQ(decl.attribute("encoding").value(), "UTF-8");
    const pugi::xml_node root = d.document_element();
    EXPECT_STREQ(root.name(), "settings");
    EXPECT_EQ(ChildNames(root), kFileOrder);
    EXPECT_STREQ(root.child_value("server_url"), "guard.lab") << "the address as entered";
    EXPECT_STREQ(root.child_value("listener_port"), "9001");
    EXPECT_STREQ(root.child_value("lock_on_network_outage"), "true");
    EXPECT_STREQ(root.child_value("adv_use_ws"), "false");
    EXPECT_STREQ(root.child_value("idle_timeout_action"), "1503");
    EXPECT_STREQ(root.child_value("password_hash"), kDefaultHash);
    EXPECT_STREQ(root.child_value("logoff_warning_time"), "1");

    // Button settings come last; at their defaults only four attributes are written.
    Update(s, "<chtl/>");
    ASSERT_TRUE(s.SaveSettings());
    ASSERT_TRUE(d.load_string(Decrypted(Ini()).c_str()));
    std::vector<std::string> withChtl = kFileOrder;
    withChtl.push_back("chtl");
    EXPECT_EQ(ChildNames(d.document_element()), withChtl);
    EXPECT_EQ(AttributeNames(d.document_element().child("chtl")),
              (std::vector<std::string>{"enabled", "vPos", "hPos", "action"}));
}

TEST_F(SettingsTest, SaveAndLoadRoundTripEveryValue) {
    TSettings a;
    a.SetServerUrl("https://guard.lab:9443/app/");
    a.SetListenerPort(18087);
    a.SetIMAlivePeriod(45000);
    a.SetNetworkOutageTimeout(600000);
    a.SetBannerTimeout(5000);
    a.SetLockOnNetworkFailure(true);
    a.SetPasswordHash("YHPbWGFM+IHNox7JSHsHAg==");
    a.SetMachineName("PC <07> & \"co\"");
    a.SetRoomName("Z\xC3\xBCrich \xE2\x9C\x93");
    a.SetInactivityTime("25");
    a.SetInactivityFormShowTime("-3");
    a.SetUseWebsockets(true);
    a.SetWebsocketTimeout(7000);
    a.SetLoginScreenMessage(" Welcome\nto the lab ");
    a.SetEnableSessionLimit(true);
    a.SetSessionLimitOnly4Nonadmins(true);
    a.SetBypassAccounts("   ");
    Update(a, "<idle_timeout_action>1502</idle_timeout_action>"
              "<chtl enabled='always' vPos='top' hPos='left' width='0' height='40' font='12' font_bold='true' "
              "font_color='#fff' color='navy' action='lock'/>");
    ASSERT_TRUE(a.SaveSettings());

    TSettings b;
    ASSERT_TRUE(b.LoadFromDisk());
    EXPECT_EQ(Dump(b), Dump(a));
}

// One update applied to a station with known values; each case reads one value back.
struct RuleCase {
    const char* elements;
    bool additional;
    std::function<std::string(const TSettings&)> read;
    const char* expected;
};

std::string Room(const TSettings& s) { return s.RoomName(); }
std::string Idle(const TSettings& s) { return std::to_string(s.IdleTimeoutAction()); }
std::string Message(const TSettings& s) { return s.LoginScreenMessage(); }
std::string Inactivity(const TSettings& s) { return s.InactivityTime(); }
std::string WarningTime(const TSettings& s) { return s.InactivityFormShowTime(); }

const RuleCase kRuleCases[] = {
    // "present" elements never clear a value...
    {"<room_name/>", false, Room, "R1"},
    {"<room_name></room_name>", false, Room, "R1"},
    {"<room_name>R2</room_name>", false, Room, "R2"},
    {"<room_name><![CDATA[Lab <1>]]></room_name>", false, Room, "Lab <1>"},
    {"<workstation_name/>", false, [](const TSettings& s) { return s.MachineName(); }, "M1"},
    {"<password_hash/>", false, [](const TSettings& s) { return s.PasswordHash(); }, "hash"},
    {"<server_url/>", false, [](const TSettings& s) { return s.ServerUrl(); }, "old.lab"},
    {"<listener_port/>", false, [](const TSettings& s) { return std::to_string(s.ListenerPort()); }, "9000"},
    {"<listener_port>8088</listener_port>", false, [](const TSettings& s) { return std::to_string(s.ListenerPort()); }, "8088"},
    {"<adv_use_ws>false</adv_use_ws>", false, [](const TSettings& s) { return std::to_string(s.UseWebsockets()); }, "0"},
    {"<lock_on_network_outage>True</lock_on_network_outage>", false, [](const TSettings& s) { return std::to_string(s.LockOnNetworkFailure()); }, "1"},
    // ...while "exists" elements do.
    {"<login_s_m/>", false, Message, ""},
    {"", false, Message, "Hello"},
    {"<bypass_accounts/>", false, [](const TSettings& s) { return s.BypassAccounts(); }, ""},
    {"<inactivity_time>15</inactivity_time>", false, Inactivity, "15"},
    {"<inactivity_time>ten</inactivity_time>", false, Inactivity, ""},
    {"<inactivity_time/>", false, Inactivity, ""},
    {"", false, Inactivity, "10"},
    {"<logoff_warning_time>2.5</logoff_warning_time>", false, WarningTime, ""},
    {"<logoff_warning_time>7</logoff_warning_time>", false, WarningTime, "7"},
    {"", false, WarningTime, "3"},
    // The idle code is always one of three after an ordinary update.
    {"<idle_timeout_action>1502</idle_timeout_action>", false, Idle, "1502"},
    {"", false, Idle, "1501"},
    {"<idle_timeout_action>1504</idle_timeout_action>", false, Idle, "1501"},
    {"<idle_timeout_action/>", false, Idle, "1501"},
    // A session-limit document without the code leaves it alone.
    {"", true, Idle, "1503"},
    {"<idle_timeout_action>1502</idle_timeout_action>", true, Idle, "1502"},
    // An element holding elements skips its own step only.
    {"<room_name><b>x</b></room_name><login_s_m>Bye</login_s_m>", false, Room, "R1"},
    {"<room_name><b>x</b></room_name><login_s_m>Bye</login_s_m>", false, Message, "Bye"},
    {"<login_s_m><b>x</b></login_s_m>", false, Message, "Hello"},
};

TEST_F(SettingsTest, UpdateRules) {
    for (const RuleCase& c : kRuleCases) {
        SCOPED_TRACE(std::string(c.additional ? "additional: " : "ordinary: ") + c.elements);
        TSettings s;
        s.SetServerUrl("old.lab");
        s.SetRoomName("R1");
        s.SetMachineName("M1");
        s.SetPasswordHash("hash");
        s.SetListenerPort(9000);
        s.SetUseWebsockets(true);
        s.SetLoginScreenMessage("Hello");
        s.SetBypassAccounts("admin");
        s.SetInactivityTime("10");
        s.SetInactivityFormShowTime("3");
        s.SetIdleTimeoutAction(1503);
        Update(s, c.elements, c.additional);
        EXPECT_EQ(c.read(s), c.expected);
    }
}

TEST_F(SettingsTest, ValueThatDoesNotConvertRejectsTheWholeUpdate) {
    const char* bad[] = {
        "<listener_port>abc</listener_port>",
        "<lock_on_network_outage>yes</lock_on_network_outage>",
        "<idle_timeout_action>x</idle_timeout_action>",
        "<ws_timeout>99999999999</ws_timeout>",
        "<enable_session_limit>1</enable_session_limit>",
    };
    for (const char* b : bad) {
        SCOPED_TRACE(b);
        TSettings s;
        s.SetRoomName("Before");
        const auto before = Dump(s);
        // The good elements come first in the document and in the update order.
        pugi::xml_document d;
        ASSERT_TRUE(d.load_string((std::string("<settings><server_url>new.lab</server_url><room_name>After</room_name>") +
                                   b + "<chtl/></settings>").c_str()));
        EXPECT_THROW(s.FillSettings(d.document_element(), false), ESettingsValueError);
        EXPECT_EQ(Dump(s), before);
    }
}

TEST_F(SettingsTest, ButtonSettingsLifecycle) {
    TSettings s;
    Update(s, "<chtl width='120' font_bold='true' color='red'/>");
    ASSERT_TRUE(s.ChtlButtonSettings());
    EXPECT_TRUE(log->Has("Creating chtl settings"));
    EXPECT_EQ(s.ChtlButtonSettings()->Width(), 120);
    EXPECT_TRUE(s.ChtlButtonSettings()->FontBold());
    EXPECT_EQ(s.ChtlButtonSettings()->Color(), "red");

    // A session-limit document without "chtl" keeps the button...
    Update(s, "<room_name>x</room_name>", true);
    ASSERT_TRUE(s.ChtlButtonSettings());
    // ...and every load sets all fields: what the element lacks or can't convert is the default.
    Update(s, "<chtl height='30' font='big' font_bold='maybe' enabled='always'/>", true);
    ASSERT_TRUE(s.ChtlButtonSettings());
    const TChtlButtonSettings c = *s.ChtlButtonSettings();
    EXPECT_EQ(c.Width(), -1);
    EXPECT_EQ(c.Height(), 30);
    EXPECT_EQ(c.FontSize(), -1);
    EXPECT_FALSE(c.FontBold());
    EXPECT_EQ(c.Enabled(), "always");
    EXPECT_EQ(c.Color(), "");
    EXPECT_EQ(c.VerticalPosition(), "bottom");
    EXPECT_EQ(c.ButtonClickAction(), "logout");

    // An ordinary document without it removes the button, and the file has none.
    Update(s, "");
    EXPECT_FALSE(s.ChtlButtonSettings());
    ASSERT_TRUE(s.SaveSettings());
    pugi::xml_document d;
    ASSERT_TRUE(d.load_string(Decrypted(Ini()).c_str()));
    EXPECT_FALSE(d.document_element().child("chtl"));
}

TEST_F(SettingsTest, ButtonSavesOptionalAttributesOnlyWhenSet) {
    TChtlButtonSettings c;
    c.SetWidth(0);
    c.SetFontSize(-1);
    c.SetFontBold(true);
    c.SetTextColor("  ");
    c.SetColor("#123456");
    pugi::xml_document d;
    c.SaveToXml(d.append_child("settings"));
    const pugi::xml_node n = d.document_element().child("chtl");
    EXPECT_EQ(AttributeNames(n), (std::vector<std::string>{"enabled", "vPos", "hPos", "width", "font_bold", "color", "action"}));
    EXPECT_STREQ(n.attribute("width").value(), "0");
    EXPECT_STREQ(n.attribute("font_bold").value(), "true");
}

TEST_F(SettingsTest, InactivityTimeChangeFiresOnlyOnRealChange) {
    TSettings s;
    int calls = 0;
    s.SetOnInactivityTimeChanged([&](TSettings& sender) {
        ++calls;
        EXPECT_EQ(&sender, &s);
        EXPECT_EQ(sender.InactivityTime(), "20");  // already stored, and readable from the handler
    });
    Update(s, "<inactivity_time>20</inactivity_time>");
    EXPECT_EQ(calls, 1);
    Update(s, "<inactivity_time>20</inactivity_time>");
    s.SetInactivityTime("20");
    EXPECT_EQ(calls, 1);
    s.SetDefaults();  // sets the field directly
    EXPECT_EQ(s.InactivityTime(), "");
    EXPECT_EQ(calls, 1);
}

struct UrlCase {
    const char* url;
    const char* uri;
    const char* guard;
};

const UrlCase kUrlCases[] = {
    {"myserver", "http://myserver:8080/server", "http://myserver:8080/server/guard"},
    {"HTTPS://Guard.Lab:9443/app/", "HTTPS://Guard.Lab:9443/app/", "HTTPS://Guard.Lab:9443/app/guard"},
    {"host\\app", "http://host:8080/app", "http://host:8080/app/guard"},
    {"   ", "http://127.0.0.1/korvane", "http://127.0.0.1/korvane/guard"},
    {"  https://h  ", "https://h:8080/server", "https://h:8080/server/guard"},
    {"http://h:81/", "http://h:81/server", "http://h:81/server/guard"},
    {"myserver:9000", "http://myserver:9000/server", "http://myserver:9000/server/guard"},
    {"h/app/page?x=1#top", "http://h:8080/app/page?x=1#top", "http://h:8080/app/page?x=1#top/guard"},
    {"http://user:pw@h/app", "http://user:pw@h:8080/app", "http://user:pw@h:8080/app/guard"},
    {"http://[fe80::1]/x", "http://[fe80::1]:8080/x", "http://[fe80::1]:8080/x/guard"},
};

TEST_F(SettingsTest, ServerUrlNormalisation) {
    for (const UrlCase& c : kUrlCases) {
        SCOPED_TRACE(c.url);
        TSettings s;
        s.SetServerUrl(c.url);
        EXPECT_EQ(s.ServerUrl(), c.url);
        EXPECT_EQ(s.ServerURI(), c.uri);
        EXPECT_EQ(s.GuardServerURL(), c.guard);
    }
}

TEST_F(SettingsTest, ServletAddresses) {
    TSettings s;
    s.SetServerUrl("http://h:1/s");
    EXPECT_EQ(s.GuardServerURL(), "http://h:1/s/guard");
    EXPECT_EQ(s.BannerServletURL(), "http://h:1/s/get_banner");
    EXPECT_EQ(s.UpdateURL(), "http://h:1/s/update");
    EXPECT_EQ(s.AutoLogonInfoURL(), "http://h:1/s/autologon-info");
    EXPECT_EQ(s.CheckUserURL(), "http://h:1/s/check-user");
}

TEST_F(SettingsTest, UnparsableServerUrlKeepsPreviousURI) {
    for (const char* bad : {"http://:8080/x", "guard.lab:port", "http://h:70000/", "http://[fe80::1/x"}) {
        SCOPED_TRACE(bad);
        TSettings s;
        s.SetServerUrl("good.lab");
        const int errors = CountLinesStarting("Error getting server URI ");
        s.SetServerUrl(bad);
        EXPECT_EQ(s.ServerUrl(), bad);
        EXPECT_EQ(s.ServerURI(), "http://good.lab:8080/server");
        EXPECT_EQ(CountLinesStarting("Error getting server URI "), errors + 1);
    }
}

TEST_F(SettingsTest, RegistryBackupOnlyWhenChanged) {
    TSettings s;
    s.SetServerUrl("guard.lab");
    s.SetPasswordHash("abc=");
    ASSERT_TRUE(s.SaveSettings());
    EXPECT_EQ(TUtils::ReadRegistryKey("ServerURL"), "guard.lab");
    EXPECT_EQ(TUtils::ReadRegistryKey("ServerPassword"), "abc=");
    EXPECT_EQ(CountLines("Server URL has been backed up to registry"), 1);
    EXPECT_EQ(CountLines("Password hash has been backed up to registry"), 1);

    ASSERT_TRUE(s.SaveSettings());
    EXPECT_EQ(CountLines("Server URL has been backed up to registry"), 1);
    EXPECT_EQ(CountLines("Password hash has been backed up to registry"), 1);

    s.SetPasswordHash("def=");
    ASSERT_TRUE(s.SaveSettings());
    EXPECT_EQ(CountLines("Server URL has been backed up to registry"), 1);
    EXPECT_EQ(CountLines("Password hash has been backed up to registry"), 2);
    EXPECT_EQ(TUtils::ReadRegistryKey("ServerPassword"), "def=");
}

TEST_F(SettingsTest, RegistryFailureDoesNotFailTheSave) {
    W().registryReadOnly = true;
    TSettings s;
    s.SetRoomName("R");
    EXPECT_TRUE(s.SaveSettings());
    TSettings b;
    ASSERT_TRUE(b.LoadFromDisk());
    EXPECT_EQ(b.RoomName(), "R");
}

TEST_F(SettingsTest, InitWithoutFileUsesDefaultsAndRegistryBackup) {
    TUtils::WriteRegistryKey("ServerURL", "backup.lab");
    TUtils::WriteRegistryKey("ServerPassword", "restored=");
    TSettings s;
    s.Init();
    EXPECT_EQ(s.ServerUrl(), "backup.lab");
    EXPECT_EQ(s.ServerURI(), "http://backup.lab:8080/server");
    EXPECT_EQ(s.PasswordHash(), "restored=");
    EXPECT_EQ(s.ListenerPort(), 8087);
    EXPECT_TRUE(HasLineStarting("Can not load settings from the disk - "));
    EXPECT_TRUE(log->Has("Server URL restored from registry"));
    EXPECT_TRUE(log->Has("Password hash restored from registry"));
    EXPECT_FALSE(fs::exists(ToFsPath(Ini()))) << "no file until there is something to save";
}

TEST_F(SettingsTest, InitLoadsTheFileAndIgnoresTheRegistry) {
    TUtils::WriteRegistryKey("ServerURL", "backup.lab");
    WriteRaw(Ini(), Encrypted("<?xml version=\"1.0\" encoding=\"UTF-8\"?><settings><server_url>file.lab</server_url>"
                              "<listener_port>9100</listener_port></settings>"));
    TSettings s;
    s.Init();
    EXPECT_EQ(s.ServerUrl(), "file.lab");
    EXPECT_EQ(s.ListenerPort(), 9100);
    EXPECT_EQ(s.PasswordHash(), kDefaultHash) << "absent values keep their defaults";
    EXPECT_FALSE(log->Has("Server URL restored from registry"));
}

TEST_F(SettingsTest, DamagedOrWronglyKeyedFileFallsBackToDefaults) {
    const std::string good = "<settings><server_url>file.lab</server_url><room_name>FromFile</room_name>";
    const struct {
        const char* what;
        TBytes content;
    } cases[] = {
        {"empty", {}},
        {"shorter than a block", TBytes(10, 0x5a)},
        {"wrong key", Encrypted(good + "</settings>", "other key")},
        {"not XML", Encrypted("settings, but not as we know them")},
        {"cut short", Encrypted(good)},
        // Converted after room_name: the name must not stay applied either.
        {"bad value", Encrypted(good + "<ws_timeout>soon</ws_timeout></settings>")},
        {"no root element", Encrypted("<?xml version=\"1.0\"?>")},
    };
    TUtils::WriteRegistryKey("ServerURL", "backup.lab");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        WriteRaw(Ini(), c.content);
        const int warnings = CountLinesStarting("Can not load settings from the disk - ");
        TSettings s;
        s.Init();
        EXPECT_EQ(s.ServerUrl(), "backup.lab");
        EXPECT_EQ(s.RoomName(), "") << "nothing of a rejected file stays applied";
        EXPECT_EQ(s.ListenerPort(), 8087);
        EXPECT_EQ(CountLinesStarting("Can not load settings from the disk - "), warnings + 1);
        EXPECT_EQ(ReadRaw(Ini()), c.content) << "a failed load leaves the file alone";
    }
}

TEST_F(SettingsTest, FailedLoadFromFileKeepsCurrentState) {
    TSettings s;
    s.SetRoomName("Current");
    s.SetListenerPort(9200);
    const std::string other = W().commonAppData + "\\config.ini";
    WriteRaw(other, TBytes(10, 1));
    EXPECT_FALSE(s.LoadFromFile(other));
    EXPECT_TRUE(log->Has("Can not load settings from the diskInvalid file format"));
    EXPECT_EQ(s.RoomName(), "Current");
    EXPECT_EQ(s.ListenerPort(), 9200);
    EXPECT_FALSE(s.LoadFromFile(other + ".missing"));
}

TEST_F(SettingsTest, SaveToAGivenFile) {
    TSettings s;
    s.SetRoomName("Exported");
    const std::string file = W().commonAppData + "\\exported.ini";
    ASSERT_TRUE(s.SaveSettings(file));
    TSettings b;
    ASSERT_TRUE(b.LoadFromFile(file));
    EXPECT_EQ(b.RoomName(), "Exported");

    // Only the agent's own folder is created on demand.
    EXPECT_FALSE(s.SaveSettings(W().commonAppData + "\\missing\\x.ini"));
    EXPECT_TRUE(HasLineStarting("Error saving settings "));
    EXPECT_FALSE(fs::exists(ToFsPath(W().commonAppData + "\\missing")));
}

TEST_F(SettingsTest, FillAndSaveAppliesBothDocumentsAndSaves) {
    TSettings s;
    pugi::xml_document d;
    ASSERT_TRUE(d.load_string("<control_state>"
                              "<settings><room_name>R9</room_name><idle_timeout_action>1502</idle_timeout_action>"
                              "<chtl width='64'/></settings>"
                              "<sl_settings><enable_session_limit>true</enable_session_limit></sl_settings>"
                              "</control_state>"));
    const pugi::xml_node cs = d.document_element();
    s.FillAndSave(cs.child("settings"), cs.child("sl_settings"));

    TSettings b;
    ASSERT_TRUE(b.LoadFromDisk());
    EXPECT_EQ(b.RoomName(), "R9");
    EXPECT_TRUE(b.EnableSessionLimit());
    EXPECT_EQ(b.IdleTimeoutAction(), 1502);
    ASSERT_TRUE(b.ChtlButtonSettings());
    EXPECT_EQ(b.ChtlButtonSettings()->Width(), 64);

    // Either document may be missing.
    s.FillAndSave(pugi::xml_node(), cs.child("settings"));
    s.FillAndSave(cs.child("sl_settings"), pugi::xml_node());
    EXPECT_FALSE(s.ChtlButtonSettings());
}

TEST_F(SettingsTest, FillAndSaveWithBadValueAppliesAndSavesNothing) {
    TSettings s;
    pugi::xml_document d;
    ASSERT_TRUE(d.load_string("<c><settings><room_name>R9</room_name></settings>"
                              "<sl_settings><sl_only_4_nonadmins>maybe</sl_only_4_nonadmins></sl_settings></c>"));
    const pugi::xml_node c = d.document_element();
    EXPECT_THROW(s.FillAndSave(c.child("settings"), c.child("sl_settings")), ESettingsValueError);
    EXPECT_EQ(s.RoomName(), "");
    EXPECT_FALSE(fs::exists(ToFsPath(Ini())));

    // The lock went with the error: another thread gets through.
    auto other = std::async(std::launch::async, [&] { s.FillAndSave(c.child("settings"), pugi::xml_node()); });
    ASSERT_EQ(other.wait_for(std::chrono::seconds(5)), std::future_status::ready);
    other.get();
    EXPECT_EQ(s.RoomName(), "R9");
    EXPECT_TRUE(fs::exists(ToFsPath(Ini())));
}

TEST_F(SettingsTest, FillAndSaveLogsAFailedSave) {
    // A plain file where the data folder should be.
    const std::string home = W().commonAppData;
    const std::string blocker = home + "\\blocked";
    WriteRaw(blocker, TBytes{1});
    W().commonAppData = blocker;
    TSettings s;
    pugi::xml_document d;
    ASSERT_TRUE(d.load_string("<settings><room_name>R9</room_name></settings>"));
    s.FillAndSave(d.document_element(), pugi::xml_node());
    EXPECT_EQ(s.RoomName(), "R9") << "applied in memory all the same";
    EXPECT_TRUE(HasLineStarting("Error saving settings "));
    EXPECT_TRUE(log->Has("Error saving settings"));
    W().commonAppData = home;  // so the next reset removes the whole temp folder
}

TEST_F(SettingsTest, FailedReplaceReportsFailureAndLeavesNoTemporaryFile) {
    // A folder where the file should be: the final move can't replace it.
    fs::create_directories(ToFsPath(Ini()));
    TSettings s;
    EXPECT_FALSE(s.SaveSettings());
    EXPECT_TRUE(HasLineStarting("rename error "));
    EXPECT_EQ(FolderEntries(GetAgentDataFolder()), std::vector<std::string>{"guard.ini"});
    EXPECT_TRUE(fs::is_directory(ToFsPath(Ini())));
}

TEST_F(SettingsTest, ASaveThatFailsPartWayLeavesThePreviousFileWhole) {
    TSettings s;
    s.SetRoomName("before");
    ASSERT_TRUE(s.SaveSettings());
    const TBytes before = ReadRaw(Ini());
    struct Case {
        const char* name;
        std::function<void(platform::fake::World&)> fault;
    } cases[] = {
        {"the disk fills up part-way", [](auto& w) { w.diskFullAfterBytes = 10; }},
        {"the disk is full at once", [](auto& w) { w.diskFullAfterBytes = 0; }},
        {"the final move keeps failing", [](auto& w) { w.replaceFailures = 100; }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.fault(W());
        s.SetRoomName("after");
        EXPECT_FALSE(s.SaveSettings());
        EXPECT_EQ(ReadRaw(Ini()), before);
        EXPECT_EQ(FolderEntries(GetAgentDataFolder()), std::vector<std::string>{"guard.ini"});
        W().diskFullAfterBytes.reset();
        W().replaceFailures = 0;
    }
    TSettings reread;
    reread.Init();
    EXPECT_EQ(reread.RoomName(), "before");
}

TEST_F(SettingsTest, SavesReplaceTheFileWholeWhileOthersRead) {
    // Two documents of very different sizes: a reader that ever saw a file
    // being written in place would read a cut or mixed document.
    const std::string longText(256 * 1024, 'L');
    TSettings writer;
    writer.SetRoomName("long");
    writer.SetLoginScreenMessage(longText);
    ASSERT_TRUE(writer.SaveSettings());

    std::atomic<bool> done{false};
    std::atomic<int> loads{0}, failures{0}, unreadable{0};
    std::thread reader([&] {
        while (!done) {
            TSettings r;
            const bool ok = r.LoadFromFile(Ini());
            const bool whole = (r.RoomName() == "long" && r.LoginScreenMessage() == longText) ||
                               (r.RoomName() == "short" && r.LoginScreenMessage() == "s");
            if (ok && !whole) ++failures;
            if (!ok) ++unreadable;
            ++loads;
            // Reads of a live object must be safe while it is being updated.
            (void)writer.LoginScreenMessage();
        }
    });
    int saved = 0;
    for (int i = 0; i < 60; ++i) {
        pugi::xml_document d;
        const bool odd = i % 2;
        d.append_child("settings").append_child("room_name").text().set(odd ? "long" : "short");
        d.document_element().append_child("login_s_m").text().set(odd ? longText.c_str() : "s");
        writer.FillSettings(d.document_element(), false);
        // A replace that keeps failing while the reader holds the file open fails whole.
        saved += writer.SaveSettings();
    }
    while (loads < 20) std::this_thread::yield();
    done = true;
    reader.join();
    EXPECT_EQ(failures, 0);
    // Windows may refuse the open for the instant of the replace; elsewhere
    // an unreadable load can only be a torn file.
    if (!qztest::kHostIsWindows) {
        EXPECT_EQ(unreadable, 0);
    }
    EXPECT_GT(saved, 0);
    EXPECT_EQ(FolderEntries(GetAgentDataFolder()), std::vector<std::string>{"guard.ini"});
}

}  // namespace
