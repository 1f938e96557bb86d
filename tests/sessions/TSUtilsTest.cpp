#include "sessions/TSUtils.h"

#include "platform/Registry.h"
#include "tests/support/TestSupport.h"

using namespace qz;

namespace {

class StationTypeTest : public qztest::PlatformTest {};

TEST_F(StationTypeTest, ProductFeaturesAndVirtualDesktopAgentsDecideTheType) {
    const std::string features = "root\\CIMV2|SELECT * FROM Win32_ServerFeature";
    struct Case {
        uint8_t product;
        std::vector<std::string> featureIds;  // "" stands for a row whose ID can't be read
        bool citrix, horizon;
        TStationType type;
        const char* vdi;
    };
    const Case cases[] = {
        {3, {"18", "130"}, false, false, TStationType::stTerminalServer, "none"},
        {3, {"130"}, false, true, TStationType::stHorizonMachine, "horizon"},
        {3, {"", "130"}, true, false, TStationType::stCitrixMachine, "citrix"},
        {3, {"18"}, false, false, TStationType::stRegular, "none"},
        {1, {"130"}, false, false, TStationType::stRegular, "none"},  // a client edition never is a session host
        {2, {"130"}, false, false, TStationType::stRegular, "none"},  // nor a domain controller
        {1, {}, true, true, TStationType::stHorizonMachine, "horizon"},
    };
    for (const Case& c : cases) {
        platform::fake::Reset();
        W().version.productType = c.product;
        auto& rows = W().wmiTables[features];
        for (const auto& id : c.featureIds) rows.push_back(id.empty() ? std::map<std::string, std::string>{}
                                                                      : std::map<std::string, std::string>{{"ID", id}});
        if (c.citrix) W().services["brokeragent"] = {};
        if (c.horizon)
            platform::reg::SetString({platform::reg::Hive::LocalMachine, "SOFTWARE\\VMware, Inc.\\VMware VDM",
                                      platform::reg::View::Wow64},
                                     "ProductVersion", "8.1");
        EXPECT_EQ(TTSUtils::GetStationType(), c.type) << int(c.product) << c.citrix << c.horizon;
        EXPECT_EQ(TTSUtils::GetVDIType(), c.vdi);
    }
    // A query that fails counts as not installed.
    platform::fake::Reset();
    W().version.productType = 3;
    EXPECT_FALSE(TTSUtils::IsTSEnabled());
    EXPECT_TRUE(log->Has("Remote desktop session host installed - False"));
}

TEST(SessionEventNames, KnownCodesByNameOthersInDecimal) {
    EXPECT_EQ(TTSUtils::GetSessionEventName(1), "WTS_CONSOLE_CONNECT");
    EXPECT_EQ(TTSUtils::GetSessionEventName(11), "WTS_SESSION_TERMINATE");
    EXPECT_EQ(TTSUtils::GetSessionEventName(12), "12");
    EXPECT_EQ(TTSUtils::GetSessionEventName(0), "0");
}

}  // namespace
