// Access lists and durable writes on the real system (Wine keeps security
// descriptors of files and keys, so they can be read back).
#include "platform/FileSystem.h"

#include <gtest/gtest.h>
#include <windows.h>
#include <aclapi.h>
#include <sddl.h>

#include <cstdio>
#include <fstream>

#include "common/HttpClient.h"
#include "platform/Errors.h"
#include "platform/Registry.h"
#include "platform/SystemInfo.h"
#include "tests/platform/PlatformTestSupport.h"
#include "tests/support/HostileServer.h"

using namespace platform;

namespace {

struct AclView {
    bool isProtected = false;
    std::vector<std::string> sids;  // of the allow entries, in order
};

AclView View(PSECURITY_DESCRIPTOR sd) {
    AclView view;
    BOOL present = FALSE, defaulted = FALSE;
    PACL dacl = nullptr;
    if (!sd || !GetSecurityDescriptorDacl(sd, &present, &dacl, &defaulted)) return view;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    GetSecurityDescriptorControl(sd, &control, &revision);
    view.isProtected = (control & SE_DACL_PROTECTED) != 0;
    for (DWORD i = 0; dacl && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* ace = nullptr;
        if (!GetAce(dacl, i, reinterpret_cast<void**>(&ace)) || ace->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
        LPSTR text = nullptr;
        if (ConvertSidToStringSidA(&ace->SidStart, &text)) {
            view.sids.push_back(text);
            LocalFree(text);
        }
    }
    return view;
}

AclView FileAcl(const std::string& path) {
    std::vector<BYTE> buf(4096);
    DWORD need = 0;
    if (!GetFileSecurityA(path.c_str(), DACL_SECURITY_INFORMATION, buf.data(), static_cast<DWORD>(buf.size()), &need))
        return {};
    return View(buf.data());
}

AclView KeyAcl(const std::string& path) {
    HKEY h = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, READ_CONTROL | KEY_WOW64_32KEY, &h) != ERROR_SUCCESS)
        return {};
    std::vector<BYTE> buf(4096);
    DWORD size = static_cast<DWORD>(buf.size());
    const LONG rc = RegGetKeySecurity(h, DACL_SECURITY_INFORMATION, buf.data(), &size);
    RegCloseKey(h);
    return rc == ERROR_SUCCESS ? View(buf.data()) : AclView{};
}

std::string TempFolder(const std::string& name) {
    return sys::CommonAppDataDir() + "\\" + qztest::Unique(name);
}

const std::vector<std::string> kAdmins = {"S-1-5-18", "S-1-5-32-544"};

}  // namespace

TEST(RealFileSystem, SecuredFoldersAndTheirFilesAreForSystemAndAdministrators) {
    const std::string folder = TempFolder("QZSecured");
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    std::ofstream(folder + "\\guard.ini") << "secret";
    files::SecureFolder(folder, files::Others::None);
    const std::string shown = folder + "\\Banners";
    files::SecureFolder(shown, files::Others::Read);  // made when missing
    // New files are written whole, exclusively and with the tight list.
    const std::string file = folder + "\\sts1.tmp";
    files::WriteNewFile(file, {'a', 'b', 'c'});

    // Wine keeps no access lists on files (it answers a made-up default), so
    // there only the calls are checked; Windows shows the lists themselves.
    const AclView f = FileAcl(folder);
    if (f.isProtected) {
        EXPECT_EQ(f.sids, kAdmins);
        EXPECT_EQ(FileAcl(folder + "\\guard.ini").sids, kAdmins);  // what was there before
        EXPECT_EQ(FileAcl(shown).sids, (std::vector<std::string>{"S-1-5-18", "S-1-5-32-544", "S-1-5-32-545"}));
        EXPECT_EQ(FileAcl(file).sids, kAdmins);
    } else {
        std::printf("note: this system keeps no access lists on files\n");
    }
    try {
        files::WriteNewFile(file, {'x'});
        ADD_FAILURE() << "an existing file was opened";
    } catch (const SystemError& e) {
        EXPECT_EQ(e.code(), ErrorFileExists);
    }
    files::MoveOver(file, folder + "\\guard.ini");
    std::ifstream in(folder + "\\guard.ini");
    std::string text((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(text, "abc");
    in.close();
    EXPECT_FALSE(files::IsReparsePoint(folder));
    DeleteFileA((folder + "\\guard.ini").c_str());
    RemoveDirectoryA(shown.c_str());
    RemoveDirectoryA(folder.c_str());
}

TEST(RealFileSystem, ATreeIsSecuredThroughItsSubfoldersAndFoldersMoveAside) {
    const std::string folder = TempFolder("QZTree");
    ASSERT_TRUE(CreateDirectoryA(folder.c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryA((folder + "\\sub").c_str(), nullptr));
    std::ofstream(folder + "\\sub\\planted.txt") << "x";
    std::vector<files::SecureFailure> failed;
    files::SecureFolder(folder, files::Others::None, files::Scope::Tree, &failed);
    EXPECT_TRUE(failed.empty());
    if (FileAcl(folder).isProtected) {
        EXPECT_EQ(FileAcl(folder + "\\sub").sids, kAdmins);
        EXPECT_EQ(FileAcl(folder + "\\sub\\planted.txt").sids, kAdmins);
    }

    // Written as it comes, with the users' read list; an unfinished one goes.
    {
        files::NewFile f(folder + "\\shown.png", files::Others::Read);
        f.Write("ab", 2);
        f.Write("c", 1);
        f.Finish();
    }
    std::ifstream in(folder + "\\shown.png");
    EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), {}), "abc");
    in.close();
    if (FileAcl(folder).isProtected)
        EXPECT_EQ(FileAcl(folder + "\\shown.png").sids, (std::vector<std::string>{"S-1-5-18", "S-1-5-32-544", "S-1-5-32-545"}));
    { files::NewFile unfinished(folder + "\\partial.tmp", files::Others::None); unfinished.Write("x", 1); }
    EXPECT_EQ(GetFileAttributesA((folder + "\\partial.tmp").c_str()), INVALID_FILE_ATTRIBUTES);

    // A folder moves aside to a free name only.
    const std::string other = TempFolder("QZOther");
    ASSERT_TRUE(CreateDirectoryA(other.c_str(), nullptr));
    EXPECT_THROW(files::MoveOver(folder, other), SystemError);
    RemoveDirectoryA(other.c_str());
    files::MoveOver(folder, other);
    EXPECT_EQ(GetFileAttributesA(folder.c_str()), INVALID_FILE_ATTRIBUTES);
    DeleteFileA((other + "\\sub\\planted.txt").c_str());
    DeleteFileA((other + "\\shown.png").c_str());
    RemoveDirectoryA((other + "\\sub").c_str());
    RemoveDirectoryA(other.c_str());
}

TEST(RealRegistry, TheAgentKeyIsForSystemAndAdministrators) {
    const std::string path = "SOFTWARE\\" + qztest::Unique("QZSecuredKey");
    const reg::Key key{reg::Hive::LocalMachine, path, reg::View::Wow32};
    reg::SecureKey(key);
    reg::SetString(key, "ServerPassword", "hash");  // still writable for the agent
    const AclView k = KeyAcl(path);
    EXPECT_TRUE(k.isProtected);
    EXPECT_EQ(k.sids, kAdmins);
    reg::DeleteKey(key);
}

TEST(RealRegistry, ANumberOfTheWrongSizeIsNoNumber) {
    const std::string path = "SOFTWARE\\" + qztest::Unique("QZShortDword");
    const reg::Key key{reg::Hive::LocalMachine, path, reg::View::Wow32};
    reg::CreateKey(key);
    HKEY h = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_SET_VALUE | KEY_WOW64_32KEY, &h), ERROR_SUCCESS);
    const BYTE two[2] = {6, 0};
    ASSERT_EQ(RegSetValueExA(h, "loglevel", 0, REG_DWORD, two, 2), ERROR_SUCCESS);
    RegCloseKey(h);
    const auto v = reg::QueryValue(key, "loglevel");
    ASSERT_TRUE(v);
    EXPECT_EQ(v->type, reg::ValueType::Other);  // a caller expecting a number reads it as missing
    reg::DeleteKey(key);
}

TEST(RealNetwork, AnEarlierResetIsNotCountedAgain) {
    // A reset seen by an earlier exchange on this thread; this one ends with
    // an orderly close in mid-reply, which sets no socket error of its own.
    WSASetLastError(WSAECONNRESET);
    qztest::HostileServer cut([](qztest::HostileConnection& c) {
        c.Send("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\nonly ten..");
        c.Pause(100);
    });
    qz::THttpClientTransport transport;
    const qz::THttpReply reply = transport.Request("GET", cut.Url(), "", 2000, 2000);
    EXPECT_FALSE(reply.ok);
    EXPECT_EQ(reply.socketError, 0) << reply.error;
}
