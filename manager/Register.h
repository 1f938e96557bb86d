#pragma once
// The station registration: the server's station directory, the dialog's
// state behind its controls, the registration document and its submission.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/Communication.h"

namespace qz {

struct TServerObject {
    std::string Id;
    int32_t DepartmentId = -1;
    std::string Name;
};

// What the registration document carries besides the chosen entries.
struct TStationRegistration {
    std::string Name;
    std::string SpecificSoftware;  // CR LF after every line
    std::string SpecificHardware;
    std::string MacAddress;
    std::vector<std::string> MacAddressList;
    bool MultiSession = false;
    std::string RoomId, ImageId, ModelId;
};

// The registration document, UTF-8 XML.
std::string FormXML(const TStationRegistration& r);

// The machine's addresses for the document: the primary one for the server
// address and the physical adapters'.
void FillMacAddresses(TStationRegistration& r, const std::string& serverUri);

// A memo's text as the document takes it: every line ended by CR LF.
std::string NotesText(const std::string& memoText);

// The dialog's lists and choices. The window shows exactly these lists and
// keeps its selections in step through the calls below.
class TRegisterFormModel {
public:
    // Empties everything and reads the directory; false when the directory
    // isn't a success (the lists then stay empty). An error further in keeps
    // what was read so far and still answers true.
    bool FillControls(const std::string& str);

    // All entries of each kind, in directory order.
    const std::vector<TServerObject>& Rooms() const { return _rooms; }
    const std::vector<TServerObject>& Models() const { return _models; }
    const std::vector<TServerObject>& Images() const { return _images; }

    // The entries shown in each list; rooms are always all of them.
    const std::vector<TServerObject>& ShownModels() const { return _shownModels; }
    const std::vector<TServerObject>& ShownImages() const { return _shownImages; }

    // Selections as indices into the shown lists; -1 for none.
    int RoomIndex() const { return _room; }
    int ModelIndex() const { return _model; }
    int ImageIndex() const { return _image; }
    void SelectModel(int index) { _model = InRange(index, _shownModels); }
    void SelectImage(int index) { _image = InRange(index, _shownImages); }
    // Selects the room and narrows the model and image lists to its department,
    // keeping the chosen model and image when they stay listed.
    void ComboRoomChange(int index);

    // The error text of the first check that fails, or nullopt.
    std::optional<std::string> CheckFields(const std::string& stationName) const;

    // The chosen ids; empty when nothing is chosen.
    std::string RoomId() const;
    std::string ModelId() const;
    std::string ImageId() const;

    // What OK sends: the fields as typed, the notes with their line ends, the
    // machine's addresses, the station type and the chosen ids.
    TStationRegistration Registration(const std::string& stationName, const std::string& softwareMemo,
                                      const std::string& hardwareMemo, const std::string& serverUri) const;

private:
    static int InRange(int index, const std::vector<TServerObject>& list) {
        return index >= 0 && index < static_cast<int>(list.size()) ? index : -1;
    }
    std::vector<TServerObject> _rooms, _models, _images;
    std::vector<TServerObject> _shownModels, _shownImages;
    int _room = -1, _model = -1, _image = -1;
};

struct TSubmitResult {
    bool Success = false;
    std::string Message;
};

// Sends the document and turns the reply into the line the wizard shows.
TSubmitResult SubmitStationRegistration(TCommunicationModule& comm, const std::string& document,
                                        const TServerParams& server);

}  // namespace qz
