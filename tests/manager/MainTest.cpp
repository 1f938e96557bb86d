#include "manager/Main.h"

#include <gtest/gtest.h>

#include <future>

#include "manager/TestConnThread.h"

#include "tests/manager/ManagerGuard.h"
#include "tests/support/TestSupport.h"

using namespace qz;
using qztest::GuardAnswer;

namespace {

const std::string kFailed = "Connection Test Failed.\nCheck firewall on the server and/or correct server IP address.";
const std::string kNotListedInvite =
    "Connection test with server succeeded, but the client workstation is not\n\rlisted on the server. Click Apply "
    "Settings to register the workstation with the server.";
const std::string kNotListedAfterSave =
    "Client workstation does not have a record on the server\n\ror client IP address is invalid";
const std::string kSummary =
    "Room : Lab 1\n\rStation Name : WS-01\n\rHost Name : LAB-07\n\rClient IP registered with Tallisto Server : "
    "10.0.0.7\n\r";

std::string Settings(const std::string& inner) {
    return "<response><control_state><settings>" + inner + "</settings></control_state></response>";
}

class ManagerMain : public qztest::PlatformTest {
protected:
    void SetUp() override {
        PlatformTest::SetUp();
        settings.SetServerUrl("guard.example");
        settings.SetListenerPort(8087);
        form.FillControls();
    }
    TSettings settings;
    TMainFormModel form{settings};
};

}  // namespace

TEST(ManagerMainConnectionCheck, OutcomesAndVariants) {
    using R = TRequestResult;
    const struct {
        R outcome;
        std::string reply;
        bool afterSave;
        std::string text;
        bool good;
    } cases[] = {
        {R::rrError, "", false, kFailed, false},
        {R::rrError, "", true, kFailed, false},
        {R::rrNotRecognizeResponse, "", false, kNotListedInvite, true},
        {R::rrNotRecognizeResponse, "", true, kNotListedAfterSave, false},
        {R::rrDecryptFailed, "", false, "Invalid server connection password", false},
        {R::rrDecryptFailed, "", true, "Invalid server connection password", false},
        {R::rrStationBanned, "", false, "Station is banned", false},
        {R::rrStationBanned, "", true, "Station is banned", false},
        {R::rrOk, qztest::KnownStationReply(), false, kSummary, true},
        {R::rrOk, qztest::KnownStationReply(), true, kSummary, true},
        // The summary stops where the reply runs out.
        {R::rrOk, Settings("<room_name>Lab 1</room_name><workstation_name>WS-01</workstation_name>"), false,
         "Room : Lab 1\n\rStation Name : WS-01\n\rHost Name : LAB-07\n\r", false},
        {R::rrOk, Settings("<room_name>Lab 1</room_name>"), false, "Room : Lab 1\n\r", false},
        {R::rrOk, Settings("<workstation_name>WS-01</workstation_name>"), false, kFailed, false},
        {R::rrOk, "<response><settings><room_name>Lab 1</room_name></settings></response>", false, kFailed, false},
        {R::rrOk, "not xml <", false, kFailed, false},
        {R::rrNoChange, "", false, kFailed, false},
        {R::rrOk, Settings("<room_name/><workstation_name/><client_ip_for_server/>"), false,
         "Room : \n\rStation Name : \n\rHost Name : LAB-07\n\rClient IP registered with Tallisto Server : \n\r", true},
    };
    for (const auto& c : cases) {
        const TConnectionVerdict v = ConnectionCheckMessage(c.outcome, c.reply, c.afterSave, "LAB-07");
        EXPECT_EQ(v.Text, c.text) << RequestResultName(c.outcome) << " " << c.reply;
        EXPECT_EQ(v.Good, c.good) << RequestResultName(c.outcome) << " " << c.reply;
    }
}

TEST_F(ManagerMain, CheckConnectionAsksTheServerWithTheSettings) {
    auto guard = std::make_shared<qztest::ManagerGuard>();
    TCommunicationModule comm(guard);
    settings.SetPasswordHash(qztest::kGuardHash);
    const TConnectionVerdict v = CheckConnection(comm, settings, false);
    EXPECT_EQ(v.Text, kSummary);
    EXPECT_TRUE(v.Good);
    EXPECT_EQ(guard->Requests(), std::vector<std::string>{"test"});

    // The server can't read a key under another password.
    settings.SetPasswordHash("YHPbWGFM+IHNox7JSHsHAg==");
    EXPECT_EQ(CheckConnection(comm, settings, true).Text, "Invalid server connection password");
    guard->Test({GuardAnswer::NoReply()});
    settings.SetPasswordHash(qztest::kGuardHash);
    EXPECT_EQ(CheckConnection(comm, settings, false).Text, kFailed);
}

TEST_F(ManagerMain, TheTestButtonsVerdictComesFromItsOwnThread) {
    auto guard = std::make_shared<qztest::ManagerGuard>();
    guard->Test({GuardAnswer::Byte(qztest::kNotListed)});
    settings.SetPasswordHash(qztest::kGuardHash);
    // Shared with the thread, which may still be leaving the call when the test goes on.
    auto result = std::make_shared<std::promise<std::pair<TConnectionVerdict, std::thread::id>>>();
    auto arrived = result->get_future();
    StartTestConnectionThread(std::make_shared<TCommunicationModule>(guard), settings,
                              [result](const TConnectionVerdict& v) {
                                  result->set_value({v, std::this_thread::get_id()});
                              });
    const auto [verdict, thread] = arrived.get();
    // The test button's variant: an unknown station is an invitation, not an error.
    EXPECT_EQ(verdict.Text, kNotListedInvite);
    EXPECT_TRUE(verdict.Good);
    EXPECT_NE(thread, std::this_thread::get_id());
}

TEST_F(ManagerMain, FieldsShowTheSettingsButNeverThePassword) {
    EXPECT_EQ(form.ServerUrlText, "guard.example");
    EXPECT_EQ(form.PortText, "8087");
    EXPECT_EQ(form.PasswordText, TMainFormModel::PasswordPlaceholder);
    EXPECT_FALSE(std::string(TMainFormModel::PasswordPlaceholder).empty());
    EXPECT_FALSE(form.PasswordChanged());
}

TEST_F(ManagerMain, UntouchedPasswordKeepsTheStoredHash) {
    settings.SetPasswordHash("stored-hash");
    form.ServerUrlText = "10.1.1.1";
    EXPECT_EQ(form.CheckAndSaveSettings(), TMainFormModel::TFieldError::None);
    EXPECT_EQ(settings.PasswordHash(), "stored-hash");
    EXPECT_EQ(settings.ServerUrl(), "10.1.1.1");
    EXPECT_EQ(settings.ServerURI(), "http://10.1.1.1:8080/server");
}

TEST_F(ManagerMain, FirstEditEmptiesThePasswordFieldThenEditsAreKept) {
    // Whatever the first change brought (a key or a paste), the field starts empty.
    EXPECT_EQ(form.EditConnectionPasswordChange(std::string(TMainFormModel::PasswordPlaceholder) + "x"), "");
    EXPECT_TRUE(form.PasswordChanged());
    EXPECT_EQ(form.EditConnectionPasswordChange(" spaced "), " spaced ");
    EXPECT_EQ(form.CheckAndSaveSettings(), TMainFormModel::TFieldError::None);
    // Hashed with its blanks.
    EXPECT_EQ(settings.PasswordHash(), "Rp6DQXCQ8X8fiVZof6bjRw==");

    // Filling the fields again puts the placeholder back and forgets the edit.
    form.FillControls();
    EXPECT_FALSE(form.PasswordChanged());
}

TEST_F(ManagerMain, BlankPasswordIsRefusedAfterTheAddressIsTaken) {
    settings.SetPasswordHash("stored-hash");
    form.EditConnectionPasswordChange("x");
    for (const std::string blank : {"", "   ", "\t "}) {
        form.EditConnectionPasswordChange(blank);
        form.ServerUrlText = "new.example";
        form.PortText = "9000";
        EXPECT_EQ(form.CheckAndSaveSettings(), TMainFormModel::TFieldError::BlankPassword) << "'" << blank << "'";
        EXPECT_EQ(settings.PasswordHash(), "stored-hash");
        EXPECT_EQ(settings.ServerUrl(), "new.example");
        EXPECT_EQ(settings.ListenerPort(), 8087);
    }
    EXPECT_EQ(TMainFormModel::ErrorText(TMainFormModel::TFieldError::BlankPassword), "Password can not be blank.");
}

TEST_F(ManagerMain, PortMustBeAWholeNumberTheAgentCanListenOn) {
    using E = TMainFormModel::TFieldError;
    const struct {
        std::string text;
        E error;
        int32_t port;
    } cases[] = {
        {"9000", E::None, 9000},   {"1", E::None, 1},
        {"65535", E::None, 65535}, {"0", E::PortOutOfRange, 8087},
        {"65536", E::PortOutOfRange, 8087}, {"-5", E::PortOutOfRange, 8087},
        {"80a", E::PortNotWholeNumber, 8087}, {"", E::PortNotWholeNumber, 8087},
        {"1.5", E::PortNotWholeNumber, 8087}, {"99999999999", E::PortNotWholeNumber, 8087},
    };
    for (const auto& c : cases) {
        settings.SetListenerPort(8087);
        form.PortText = c.text;
        EXPECT_EQ(form.CheckAndSaveSettings(), c.error) << c.text;
        EXPECT_EQ(settings.ListenerPort(), c.port) << c.text;
    }
    EXPECT_EQ(TMainFormModel::ErrorText(E::PortNotWholeNumber), "Port value has to be a whole number.");
    EXPECT_EQ(TMainFormModel::ErrorText(E::PortOutOfRange), "Port value has to be between 1 and 65535.");
}
