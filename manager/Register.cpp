#include "manager/Register.h"

#include <sstream>
#include <stdexcept>

#include <pugixml.hpp>

#include "common/Logger.h"
#include "common/Text.h"
#include "common/XmlText.h"
#include "sessions/TSUtils.h"

namespace qz {

namespace {

const char* const kRegisterFailed = "Workstation failed to register with Tallisto Server";

bool ParseDocument(pugi::xml_document& doc, const std::string& text) {
    return static_cast<bool>(doc.load_buffer(text.data(), text.size(), pugi::parse_default, pugi::encoding_utf8)) &&
           doc.document_element();
}

bool IsSuccess(const pugi::xml_node& root) {
    const pugi::xml_node result = root.child("result");
    return result && ElementDeepText(result) == "success";
}

pugi::xml_node Required(const pugi::xml_node& parent, const char* name) {
    const pugi::xml_node n = parent.child(name);
    if (!n) throw std::runtime_error(std::string("No \"") + name + "\" element in \"" + parent.name() + "\"");
    return n;
}

void ReadEntries(const pugi::xml_node& holder, std::vector<TServerObject>& into) {
    for (pugi::xml_node e = holder.first_child(); e; e = e.next_sibling()) {
        if (e.type() != pugi::node_element) continue;
        TServerObject o;
        const pugi::xml_attribute id = e.attribute("id");
        if (!id) throw std::runtime_error(std::string("No id in a \"") + holder.name() + "\" entry");
        o.Id = id.value();
        if (const pugi::xml_attribute d = e.attribute("d_id")) o.DepartmentId = ParseInt32(d.value());
        o.Name = ElementDeepText(Required(e, "name"));
        into.push_back(std::move(o));
    }
}

const std::string& IdAt(const std::vector<TServerObject>& list, int index) {
    static const std::string none;
    return index >= 0 && index < static_cast<int>(list.size()) ? list[static_cast<size_t>(index)].Id : none;
}

// Rebuilds `shown` from `all` for the department and keeps the selection when it stays listed.
void Narrow(const std::vector<TServerObject>& all, int32_t department, std::vector<TServerObject>& shown,
            int& selected) {
    const bool hadSelection = selected >= 0 && selected < static_cast<int>(shown.size());
    const std::string keep = hadSelection ? shown[static_cast<size_t>(selected)].Id : std::string();
    shown.clear();
    selected = -1;
    for (const auto& o : all) {
        if (o.DepartmentId != -1 && o.DepartmentId != department) continue;
        if (hadSelection && selected < 0 && o.Id == keep) selected = static_cast<int>(shown.size());
        shown.push_back(o);
    }
}

}  // namespace

std::string FormXML(const TStationRegistration& r) {
    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("command");
    root.append_attribute("version") = "1.0";
    root.append_child("name").text() = "add_workstation";
    pugi::xml_node station = root.append_child("station");
    station.append_child("name").text() = r.Name.c_str();
    station.append_child("specific_software").text() = r.SpecificSoftware.c_str();
    station.append_child("specific_hardware").text() = r.SpecificHardware.c_str();
    station.append_child("mac_address").text() = r.MacAddress.c_str();
    if (r.MultiSession) station.append_child("multisession").text() = "True";
    std::string macs;
    for (const auto& m : r.MacAddressList) macs += m + "\r\n";
    station.append_child("mac_address_list").text() = macs.c_str();
    station.append_child("room").append_attribute("id") = r.RoomId.c_str();
    station.append_child("image").append_attribute("id") = r.ImageId.c_str();
    station.append_child("model").append_attribute("id") = r.ModelId.c_str();
    std::ostringstream out;
    doc.save(out, "", pugi::format_raw | pugi::format_no_declaration, pugi::encoding_utf8);
    return out.str();
}

void FillMacAddresses(TStationRegistration& r, const std::string& serverUri) {
    r.MacAddress = GetPrimaryMac(serverUri);
    GetPhysicalAdapterMacs(r.MacAddressList);
}

std::string NotesText(const std::string& memoText) {
    std::string out;
    size_t start = 0;
    while (start < memoText.size()) {
        size_t end = memoText.find_first_of("\r\n", start);
        if (end == std::string::npos) end = memoText.size();
        out.append(memoText, start, end - start);
        out += "\r\n";
        start = end + 1;
        if (end < memoText.size() && memoText[end] == '\r' && start < memoText.size() && memoText[start] == '\n')
            ++start;
    }
    return out;
}

bool TRegisterFormModel::FillControls(const std::string& str) {
    _rooms.clear();
    _models.clear();
    _images.clear();
    _shownModels.clear();
    _shownImages.clear();
    _room = _model = _image = -1;

    pugi::xml_document doc;
    if (!ParseDocument(doc, str) || !IsSuccess(doc.document_element())) return false;
    try {
        const pugi::xml_node dir = Required(doc.document_element(), "station_directory");
        ReadEntries(Required(dir, "rooms"), _rooms);
        ReadEntries(Required(dir, "images"), _images);
        ReadEntries(Required(dir, "models"), _models);
    } catch (const std::exception& e) {
        // What was read so far stays offered.
        TLogger::Info(std::string("Station directory error: ") + e.what());
    }
    _shownModels = _models;
    _shownImages = _images;
    return true;
}

void TRegisterFormModel::ComboRoomChange(int index) {
    _room = InRange(index, _rooms);
    if (_room < 0) return;
    const std::string& roomId = _rooms[static_cast<size_t>(_room)].Id;
    int32_t department = -1;
    for (const auto& r : _rooms)
        if (r.Id == roomId) {
            department = r.DepartmentId;
            break;
        }
    Narrow(_models, department, _shownModels, _model);
    Narrow(_images, department, _shownImages, _image);
}

std::optional<std::string> TRegisterFormModel::CheckFields(const std::string& stationName) const {
    if (Trim(stationName).empty()) return std::string("Station name can not be blank!");
    if (_room < 0) return std::string("Please choose a value from room list!");
    if (_model < 0) return std::string("Please choose a value from model list!");
    if (_image < 0) return std::string("Please choose a value from image list!");
    return std::nullopt;
}

std::string TRegisterFormModel::RoomId() const { return IdAt(_rooms, _room); }
std::string TRegisterFormModel::ModelId() const { return IdAt(_shownModels, _model); }
std::string TRegisterFormModel::ImageId() const { return IdAt(_shownImages, _image); }

TStationRegistration TRegisterFormModel::Registration(const std::string& stationName, const std::string& softwareMemo,
                                                      const std::string& hardwareMemo,
                                                      const std::string& serverUri) const {
    TStationRegistration r;
    r.Name = stationName;
    r.SpecificSoftware = NotesText(softwareMemo);
    r.SpecificHardware = NotesText(hardwareMemo);
    FillMacAddresses(r, serverUri);
    r.MultiSession = TTSUtils::IsTSEnabled();
    r.RoomId = RoomId();
    r.ModelId = ModelId();
    r.ImageId = ImageId();
    return r;
}

TSubmitResult SubmitStationRegistration(TCommunicationModule& comm, const std::string& document,
                                        const TServerParams& server) {
    TSubmitResult out;
    out.Message = kRegisterFailed;
    TRequestResult rr = TRequestResult::rrError;
    const std::string reply = comm.RegisterStation(document, server, rr);
    TLogger::Fine("this has been received at the registration" + reply);
    if (rr != TRequestResult::rrOk) return out;
    pugi::xml_document doc;
    if (!ParseDocument(doc, reply)) return out;
    const pugi::xml_node root = doc.document_element();
    if (IsSuccess(root)) {
        out.Success = true;
        out.Message = "Workstation has been added successfully";
    } else if (const pugi::xml_node error = root.child("error")) {
        out.Message = std::string(kRegisterFailed) + "\n\r" + ElementDeepText(error);
    }
    return out;
}

}  // namespace qz
