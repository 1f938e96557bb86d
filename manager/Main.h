#pragma once
// The main window's state and rules, apart from the window: its three fields,
// the password placeholder, the validation and the connection check's texts.
#include <cstdint>
#include <string>

#include "common/Communication.h"
#include "common/Settings.h"

namespace qz {

constexpr const char* ServiceName = "TallistoClient";

// A connection check's outcome as the window shows it.
struct TConnectionVerdict {
    std::string Text;
    bool Good = false;
};

// Turns a test's outcome and reply into the text and verdict; afterSave picks
// the wizard's variant (a workstation the server doesn't know is then bad news).
TConnectionVerdict ConnectionCheckMessage(TRequestResult outcome, const std::string& reply, bool afterSave,
                                          const std::string& computerNetName);

// Runs the test and gives its verdict.
TConnectionVerdict CheckConnection(TCommunicationModule& comm, const TSettings& settings, bool afterSave);

class TMainFormModel {
public:
    // Never the password: the file keeps only its hash.
    static constexpr const char* PasswordPlaceholder = "\xE2\x80\xA2\xE2\x80\xA2\xE2\x80\xA2\xE2\x80\xA2\xE2\x80\xA2\xE2\x80\xA2";

    enum class TFieldError { None, BlankPassword, PortNotWholeNumber, PortOutOfRange };
    // The box text of a field error.
    static std::string ErrorText(TFieldError e);

    explicit TMainFormModel(TSettings& settings) : Settings(settings) {}

    // Copies the settings into the fields and clears the password flag.
    void FillControls();
    // The password field changed to text; answers what the field shows now
    // (the first change empties it).
    std::string EditConnectionPasswordChange(const std::string& text);
    bool PasswordChanged() const { return _passwordChanged; }

    // Validates the fields and stores them into the settings (not to disk).
    // A failure leaves the steps before it applied.
    TFieldError CheckAndSaveSettings();

    std::string ServerUrlText;
    std::string PasswordText;
    std::string PortText;
    TSettings& Settings;

private:
    bool _passwordChanged = false;
};

}  // namespace qz
