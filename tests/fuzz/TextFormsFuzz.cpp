// The text forms the server controls: addresses, the no-change code and its
// frame, and application templates with the wildcard matcher.
#include <cstddef>
#include <cstdint>
#include <string>

#include <pugixml.hpp>

#include "common/Communication.h"
#include "common/Settings.h"
#include "common/Url.h"
#include "monitor/ProcessTemplate.h"
#include "platform/fake/FakeWorld.h"
#include "protocol/PingServer.h"

namespace {

// The matching rule written as plainly as it is stated: a recursive walk.
bool PlainMatch(const char* v, const char* p) {
    if (p[0] == '*' && p[1] == 0) return true;
    if (!*v) return !*p;
    if (*p == '*') return PlainMatch(v, p + 1) || PlainMatch(v + 1, p);
    if (*p == '?') return PlainMatch(v + 1, p + 1);
    return *p == *v && PlainMatch(v + 1, p + 1);
}

std::string AsciiLowerText(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return s;
}

bool PlainAscii(const std::string& s) {
    for (unsigned char c : s)
        if (c == 0 || c >= 0x80) return false;
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = (platform::fake::Reset(), true);
    (void)ready;
    if (size == 0) return 0;
    const std::string text(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 4) {
    case 0:  // an address typed by an administrator or pushed by the server
        try {
            qz::ParseUri(text);
        } catch (const std::invalid_argument&) {
        }
        try {
            qz::SplitUrl(text);
        } catch (const std::invalid_argument&) {
        }
        {
            qz::TSettings s;
            s.UpdateServerUrl(text);
            qz::TCommunicationModule::EndpointUrl(s.ServerURI(), "guard");
        }
        break;
    case 1: {  // packet id and no-change code of the short frame
        const size_t cut = text.find('|');
        try {
            qz::TPingServerThread::NoChangeFrame(text.substr(0, cut), cut == std::string::npos ? "" : text.substr(cut + 1));
        } catch (const std::exception&) {
        }
        break;
    }
    case 2: {  // a value and a pattern
        const size_t cut = text.find('\n');
        const std::string value = text.substr(0, cut), pattern = cut == std::string::npos ? "" : text.substr(cut + 1);
        const bool fits = qz::WildcardMatch(value, pattern);
        // Short ASCII cases against the plain walk: the fast matcher must agree.
        if (value.size() <= 24 && pattern.size() <= 12 && PlainAscii(value) && PlainAscii(pattern) &&
            fits != PlainMatch(AsciiLowerText(value).c_str(), AsciiLowerText(pattern).c_str()))
            __builtin_trap();
        break;
    }
    default: {  // a template as the server sends it, fitted to a process
        pugi::xml_document doc;
        if (!doc.load_string(text.c_str())) break;
        qz::TProcessTemplate t;
        try {
            t.LoadFromXML(doc.document_element());
        } catch (const std::exception&) {
            break;
        }
        qz::TProcessInfo p;
        p.FProcessPath = "C:\\Program Files\\Office\\WINWORD.EXE";
        p.FCompanyName = "Maker";
        p.FName = "Word";
        p.FVersion = "16.0.1";
        t.FitsProcess(p);
        break;
    }
    }
    return 0;
}
