#include "manager/Register.h"

#include <gtest/gtest.h>

#include "tests/manager/ManagerGuard.h"
#include "tests/support/TestSupport.h"

using namespace qz;
using qztest::GuardAnswer;

namespace {

// Rooms R1 (department 5) and R2 (none), R3 (7); models M1 (5), M2 (7), M3 (none).
const std::string kDirectory = R"(<response><result>success</result><station_directory>
  <rooms><room id="r1" d_id="5"><name>R1</name></room><room id="r2"><name>R2</name></room>
         <room id="r3" d_id="7"><name>R3</name></room></rooms>
  <images><image id="i1" d_id="5"><name>I1</name></image><image id="i9"><name>I9</name></image></images>
  <models><model id="m1" d_id="5"><name>M1</name></model><model id="m2" d_id="7"><name>M2</name></model>
          <model id="m3"><name>M3</name></model></models>
</station_directory></response>)";

std::vector<std::string> Names(const std::vector<TServerObject>& list) {
    std::vector<std::string> out;
    for (const auto& o : list) out.push_back(o.Name);
    return out;
}

int IndexOf(const std::vector<TServerObject>& list, const std::string& name) {
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i].Name == name) return static_cast<int>(i);
    return -1;
}

std::vector<std::string> ChildNames(const pugi::xml_node& node) {
    std::vector<std::string> out;
    for (pugi::xml_node c = node.first_child(); c; c = c.next_sibling()) out.push_back(c.name());
    return out;
}

using Strings = std::vector<std::string>;

class ManagerRegister : public qztest::PlatformTest {};

}  // namespace

TEST(ManagerRegisterDirectory, EntriesAreReadInOrderWithTheirDepartments) {
    TRegisterFormModel m;
    ASSERT_TRUE(m.FillControls(kDirectory));
    EXPECT_EQ(Names(m.Rooms()), (Strings{"R1", "R2", "R3"}));
    EXPECT_EQ(Names(m.Images()), (Strings{"I1", "I9"}));
    EXPECT_EQ(Names(m.Models()), (Strings{"M1", "M2", "M3"}));
    EXPECT_EQ(m.Rooms()[0].Id, "r1");
    EXPECT_EQ(m.Rooms()[0].DepartmentId, 5);
    EXPECT_EQ(m.Rooms()[1].DepartmentId, -1);
    // Before a room is chosen every model and image is offered and none is chosen.
    EXPECT_EQ(Names(m.ShownModels()), (Strings{"M1", "M2", "M3"}));
    EXPECT_EQ(Names(m.ShownImages()), (Strings{"I1", "I9"}));
    EXPECT_EQ(m.RoomIndex(), -1);
    EXPECT_EQ(m.ModelIndex(), -1);
    EXPECT_EQ(m.ImageIndex(), -1);
    EXPECT_EQ(m.RoomId(), "");
}

TEST(ManagerRegisterDirectory, ARefusedDirectoryLeavesTheListsEmpty) {
    const std::string refused[] = {
        "<response><result>failure</result><station_directory><rooms><room id=\"1\"><name>R</name></room>"
        "</rooms></station_directory></response>",
        "<response><station_directory/></response>",
        "not xml",
        "",
    };
    for (const auto& text : refused) {
        TRegisterFormModel m;
        ASSERT_TRUE(m.FillControls(kDirectory));
        EXPECT_FALSE(m.FillControls(text)) << text;
        EXPECT_TRUE(m.Rooms().empty() && m.Models().empty() && m.Images().empty()) << text;
        EXPECT_TRUE(m.ShownModels().empty() && m.ShownImages().empty()) << text;
    }
}

TEST(ManagerRegisterDirectory, AFaultFurtherInKeepsWhatWasRead) {
    const struct {
        std::string directory;
        Strings rooms, images, models;
    } cases[] = {
        {"<r><result>success</result></r>", {}, {}, {}},
        {"<r><result>success</result><station_directory><rooms><room id=\"1\"><name>A</name></room>"
         "<room id=\"2\"/><room id=\"3\"><name>C</name></room></rooms></station_directory></r>",
         {"A"}, {}, {}},
        {"<r><result>success</result><station_directory><rooms><room id=\"1\"><name>A</name></room></rooms>"
         "<images><image id=\"1\" d_id=\"x\"><name>I</name></image></images></station_directory></r>",
         {"A"}, {}, {}},
        {"<r><result>success</result><station_directory><rooms/><images><image id=\"1\"><name>I</name></image>"
         "</images></station_directory></r>",
         {}, {"I"}, {}},
    };
    for (const auto& c : cases) {
        TRegisterFormModel m;
        EXPECT_TRUE(m.FillControls(c.directory)) << c.directory;
        EXPECT_EQ(Names(m.Rooms()), c.rooms) << c.directory;
        EXPECT_EQ(Names(m.Images()), c.images) << c.directory;
        EXPECT_EQ(Names(m.Models()), c.models) << c.directory;
    }
}

TEST(ManagerRegisterDirectory, ARoomNarrowsModelsAndImagesToItsDepartment) {
    TRegisterFormModel m;
    ASSERT_TRUE(m.FillControls(kDirectory));
    m.ComboRoomChange(0);  // R1, department 5
    EXPECT_EQ(Names(m.ShownModels()), (Strings{"M1", "M3"}));
    EXPECT_EQ(Names(m.ShownImages()), (Strings{"I1", "I9"}));
    m.ComboRoomChange(1);  // R2, no department
    EXPECT_EQ(Names(m.ShownModels()), (Strings{"M3"}));
    EXPECT_EQ(Names(m.ShownImages()), (Strings{"I9"}));
    m.ComboRoomChange(2);  // R3, department 7
    EXPECT_EQ(Names(m.ShownModels()), (Strings{"M2", "M3"}));
}

TEST(ManagerRegisterDirectory, AChosenEntryStaysChosenOnlyWhileItIsListed) {
    TRegisterFormModel m;
    ASSERT_TRUE(m.FillControls(kDirectory));
    m.ComboRoomChange(0);
    m.SelectModel(IndexOf(m.ShownModels(), "M3"));
    m.SelectImage(IndexOf(m.ShownImages(), "I1"));
    m.ComboRoomChange(2);  // M3 has no department: still listed, now at another index
    EXPECT_EQ(m.ModelId(), "m3");
    EXPECT_EQ(m.ModelIndex(), IndexOf(m.ShownModels(), "M3"));
    EXPECT_EQ(m.ImageIndex(), -1);  // I1 belongs to department 5
    EXPECT_EQ(m.ImageId(), "");

    m.ComboRoomChange(0);
    m.SelectModel(IndexOf(m.ShownModels(), "M1"));
    EXPECT_EQ(m.ModelId(), "m1");
    m.ComboRoomChange(2);
    EXPECT_EQ(m.ModelIndex(), -1);
    EXPECT_EQ(m.ModelId(), "");
    EXPECT_EQ(m.RoomId(), "r3");

    // Out-of-range choices choose nothing.
    m.SelectModel(7);
    EXPECT_EQ(m.ModelIndex(), -1);
}

TEST(ManagerRegisterDirectory, ChecksComeInOrder) {
    TRegisterFormModel m;
    ASSERT_TRUE(m.FillControls(kDirectory));
    EXPECT_EQ(m.CheckFields("   "), "Station name can not be blank!");
    EXPECT_EQ(m.CheckFields("WS"), "Please choose a value from room list!");
    m.ComboRoomChange(0);
    EXPECT_EQ(m.CheckFields("WS"), "Please choose a value from model list!");
    m.SelectImage(0);
    EXPECT_EQ(m.CheckFields("WS"), "Please choose a value from model list!");
    m.SelectModel(0);
    EXPECT_EQ(m.CheckFields("  "), "Station name can not be blank!");
    EXPECT_EQ(m.CheckFields(" WS "), std::nullopt);
    m.SelectImage(-1);
    EXPECT_EQ(m.CheckFields("WS"), "Please choose a value from image list!");
}

TEST(ManagerRegisterDocument, ElementsInOrder) {
    TStationRegistration r;
    r.Name = "  Lab PC 3 ";
    r.SpecificSoftware = "Office\r\nCAD <2024> & more\r\n";
    r.SpecificHardware = "";
    r.MacAddress = "AA:BB:CC:00:00:01";
    r.MacAddressList = {"AA:BB:CC:00:00:01", "10:20:30:40:50:60"};
    r.RoomId = "r1";
    r.ImageId = "i9";
    r.ModelId = "m3";
    for (const bool multi : {false, true}) {
        r.MultiSession = multi;
        const std::string xml = FormXML(r);
        pugi::xml_document doc;
        // Read without line-end normalisation, to see the line ends as sent.
        ASSERT_TRUE(doc.load_string(xml.c_str(), (pugi::parse_default | pugi::parse_ws_pcdata) & ~pugi::parse_eol))
            << xml;
        const pugi::xml_node root = doc.document_element();
        EXPECT_EQ(std::string(root.name()), "command");
        EXPECT_EQ(std::string(root.attribute("version").value()), "1.0");
        EXPECT_EQ(ChildNames(root), (Strings{"name", "station"}));
        EXPECT_EQ(std::string(root.child_value("name")), "add_workstation");
        const pugi::xml_node st = root.child("station");
        Strings order = {"name", "specific_software", "specific_hardware", "mac_address", "mac_address_list",
                         "room", "image", "model"};
        if (multi) order.insert(order.begin() + 4, "multisession");
        EXPECT_EQ(ChildNames(st), order);
        EXPECT_EQ(std::string(st.child_value("name")), "  Lab PC 3 ");
        EXPECT_EQ(std::string(st.child_value("specific_software")), "Office\r\nCAD <2024> & more\r\n");
        EXPECT_EQ(std::string(st.child_value("mac_address")), "AA:BB:CC:00:00:01");
        EXPECT_EQ(std::string(st.child_value("mac_address_list")), "AA:BB:CC:00:00:01\r\n10:20:30:40:50:60\r\n");
        if (multi) {
            EXPECT_EQ(std::string(st.child_value("multisession")), "True");
        }
        EXPECT_EQ(std::string(st.child("room").attribute("id").value()), "r1");
        EXPECT_EQ(std::string(st.child("image").attribute("id").value()), "i9");
        EXPECT_EQ(std::string(st.child("model").attribute("id").value()), "m3");
        EXPECT_FALSE(st.child("room").first_child());
    }
}

TEST(ManagerRegisterDocument, NotesEndEveryLineWithCrLf) {
    const std::pair<std::string, std::string> cases[] = {
        {"", ""},
        {"one", "one\r\n"},
        {"a\nb", "a\r\nb\r\n"},
        {"a\r\nb\r\n", "a\r\nb\r\n"},
        {"a\r\rb", "a\r\n\r\nb\r\n"},
    };
    for (const auto& [memo, text] : cases) EXPECT_EQ(NotesText(memo), text) << memo;
}

TEST_F(ManagerRegister, TheDialogsDocumentCarriesTheStationTypeAndChoices) {
    TRegisterFormModel m;
    ASSERT_TRUE(m.FillControls(kDirectory));
    m.ComboRoomChange(0);
    m.SelectModel(IndexOf(m.ShownModels(), "M1"));
    m.SelectImage(IndexOf(m.ShownImages(), "I9"));

    TStationRegistration r = m.Registration(" WS 1 ", "Office", "", "http://10.0.0.5/server");
    EXPECT_EQ(r.Name, " WS 1 ");
    EXPECT_EQ(r.SpecificSoftware, "Office\r\n");
    EXPECT_EQ(r.SpecificHardware, "");
    EXPECT_EQ(r.RoomId, "r1");
    EXPECT_EQ(r.ModelId, "m1");
    EXPECT_EQ(r.ImageId, "i9");
    EXPECT_FALSE(r.MultiSession);  // a workstation, not a session host

    // A server with the Remote Desktop Session Host feature.
    W().version.productType = platform::sys::ProductServer;
    W().wmiTables["root\\CIMV2|SELECT * FROM Win32_ServerFeature"] = {{{"ID", "18"}}, {{"ID", "130"}}};
    r = m.Registration("WS", "", "", "http://10.0.0.5/server");
    EXPECT_TRUE(r.MultiSession);
}

TEST_F(ManagerRegister, SubmissionTurnsTheReplyIntoTheWizardsLine) {
    const std::string failed = "Workstation failed to register with Tallisto Server";
    const struct {
        GuardAnswer answer;
        bool success;
        std::string message;
    } cases[] = {
        {GuardAnswer::Doc(qztest::ResultReply(true)), true, "Workstation has been added successfully"},
        {GuardAnswer::Doc(qztest::ResultReply(false, "unknown room id")), false, failed + "\n\runknown room id"},
        {GuardAnswer::Doc(qztest::ResultReply(false)), false, failed},
        {GuardAnswer::Doc("<response><result>success"), false, failed},
        {GuardAnswer::Byte(qztest::kNotListed), false, failed},
        {GuardAnswer::NoReply(), false, failed},
    };
    for (const auto& c : cases) {
        auto guard = std::make_shared<qztest::ManagerGuard>();
        guard->Registration(c.answer);
        TCommunicationModule comm(guard);
        const TServerParams server{"http://guard.example/server", qztest::kGuardHash, 8087};
        const TSubmitResult result = SubmitStationRegistration(comm, "<command version=\"1.0\"/>", server);
        EXPECT_EQ(result.Success, c.success) << c.answer.text;
        EXPECT_EQ(result.Message, c.message) << c.answer.text;
        EXPECT_EQ(guard->Registered(), Strings{"<command version=\"1.0\"/>"});
    }
    EXPECT_TRUE(log->Has("this has been received at the registration" + qztest::ResultReply(true)));
}
