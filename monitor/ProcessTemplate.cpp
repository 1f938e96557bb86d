#include "monitor/ProcessTemplate.h"

#include "common/Text.h"
#include "common/XmlText.h"

namespace qz {
namespace {

// Lower case of the letters the station's names and paths realistically hold:
// Latin, Greek and Cyrillic.
char32_t LowerChar(char32_t c) {
    if (c < 0x80) return (c >= 'A' && c <= 'Z') ? c + 32 : c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 32;
    if (c >= 0x100 && c <= 0x17F) {
        if (c == 0x130) return U'i';
        if (c == 0x178) return 0xFF;
        const bool oddUpper = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        const bool evenUpper = (c <= 0x137 && c != 0x130) || (c >= 0x14A && c <= 0x177);
        if (oddUpper && (c & 1)) return c + 1;
        if (evenUpper && !(c & 1)) return c + 1;
        return c;
    }
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 32;
    if (c == 0x386) return 0x3AC;
    if (c >= 0x388 && c <= 0x38A) return c + 37;
    if (c == 0x38C) return 0x3CC;
    if (c == 0x38E || c == 0x38F) return c + 63;
    if (c >= 0x410 && c <= 0x42F) return c + 32;
    if (c >= 0x400 && c <= 0x40F) return c + 80;
    if (((c >= 0x460 && c <= 0x481) || (c >= 0x48A && c <= 0x4BF) || (c >= 0x4D0 && c <= 0x52F)) && !(c & 1))
        return c + 1;
    if (c == 0x4C0) return 0x4CF;
    if (c >= 0x4C1 && c <= 0x4CE && (c & 1)) return c + 1;
    return c;
}

// Lower-cased characters of UTF-8 text. A byte that isn't part of a valid
// sequence stands for itself in a range no letter maps to, so it still
// compares equal only to the same byte.
}  // namespace

std::u32string LowerCaseChars(const std::string& text) {
    std::u32string out;
    out.reserve(text.size());
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t i = 0; i < n;) {
        const unsigned char b = s[i];
        size_t len = 0;
        char32_t c = 0;
        if (b < 0x80) { len = 1; c = b; }
        else if (b >= 0xC2 && b <= 0xDF) { len = 2; c = b & 0x1F; }
        else if (b >= 0xE0 && b <= 0xEF) { len = 3; c = b & 0x0F; }
        else if (b >= 0xF0 && b <= 0xF4) { len = 4; c = b & 0x07; }
        bool ok = len > 0 && i + len <= n;
        for (size_t k = 1; ok && k < len; ++k) {
            if ((s[i + k] & 0xC0) != 0x80) ok = false;
            else c = (c << 6) | (s[i + k] & 0x3F);
        }
        if (ok && ((len == 3 && (c < 0x800 || (c >= 0xD800 && c <= 0xDFFF))) || (len == 4 && (c < 0x10000 || c > 0x10FFFF))))
            ok = false;
        if (!ok) {
            out.push_back(0xDC00 + b);
            ++i;
            continue;
        }
        out.push_back(LowerChar(c));
        i += len;
    }
    return out;
}

namespace {

// The walk's rule for a used-up value accepts only "" or "*", so a trailing
// run of two or more asterisks needs one more character: it is "?*". Every
// other pattern means what an ordinary glob means.
std::u32string Normalise(std::u32string p) {
    size_t stars = 0;
    while (stars < p.size() && p[p.size() - 1 - stars] == U'*') ++stars;
    if (stars >= 2) {
        p.resize(p.size() - stars);
        p += U"?*";
    }
    return p;
}

// Iterative glob match with one back-track point: linear for most patterns,
// never deeper than one frame, and at worst value x pattern steps.
bool Glob(const std::u32string& v, const std::u32string& p) {
    size_t i = 0, j = 0;
    size_t star = std::u32string::npos, mark = 0;
    while (i < v.size()) {
        if (j < p.size() && p[j] == U'*') {
            star = j++;
            mark = i;
        } else if (j < p.size() && (p[j] == U'?' || p[j] == v[i])) {
            ++i;
            ++j;
        } else if (star != std::u32string::npos) {
            j = star + 1;
            i = ++mark;
        } else {
            return false;
        }
    }
    while (j < p.size() && p[j] == U'*') ++j;
    return j == p.size();
}

const char* const kPatternNames[] = {"path", "company", "version", "name"};

std::string PatternText(const pugi::xml_node& node, const char* name, bool strict) {
    const pugi::xml_node child = node.child(name);
    if (!child) {
        if (strict) throw EAbsentElement(name);
        return {};
    }
    return ElementDeepText(child);
}

int32_t ParseId(const pugi::xml_node& node) {
    const pugi::xml_attribute attr = node.attribute("id");
    return ParseInt32(attr ? attr.value() : "");
}

}  // namespace

bool WildcardMatch(const std::string& value, const std::string& pattern) {
    return TWildcardPattern(pattern).Matches(LowerCaseChars(value));
}

TWildcardPattern::TWildcardPattern(const std::string& pattern) : _p(Normalise(LowerCaseChars(pattern))) {
    const size_t first = _p.find(U'*');
    _hasStar = first != std::u32string::npos;
    if (_hasStar) {
        _head = first;
        _tail = _p.size() - 1 - _p.rfind(U'*');
    }
}

bool TWildcardPattern::Matches(const std::u32string& v) const {
    auto same = [](char32_t pc, char32_t vc) { return pc == U'?' || pc == vc; };
    if (!_hasStar) {
        if (v.size() != _p.size()) return false;
        for (size_t k = 0; k < v.size(); ++k)
            if (!same(_p[k], v[k])) return false;
        return true;
    }
    // What comes before the first and after the last "*" must fit exactly.
    if (v.size() < _head + _tail) return false;
    for (size_t k = 0; k < _head; ++k)
        if (!same(_p[k], v[k])) return false;
    for (size_t k = 1; k <= _tail; ++k)
        if (!same(_p[_p.size() - k], v[v.size() - k])) return false;
    return Glob(v, _p);
}

TMatchSubject::TMatchSubject(const TProcessInfo& process)
    : path(LowerCaseChars(process.FProcessPath)),
      name(LowerCaseChars(process.FName)),
      company(LowerCaseChars(process.FCompanyName)),
      version(LowerCaseChars(process.FVersion)) {}

// ---- TOneProcessTemplate ----

TOneProcessTemplate::TOneProcessTemplate() : FCompanyTemplate("*"), FNameTemplate("*"), FPathTemplate("*"), FVersionTemplate("*") {}

void TOneProcessTemplate::SetCompanyTemplate(const std::string& value) {
    FCompanyTemplate = value;
    _company = TWildcardPattern(value);
}

void TOneProcessTemplate::SetNameTemplate(const std::string& value) {
    FNameTemplate = value;
    _name = TWildcardPattern(value);
}

void TOneProcessTemplate::SetVersionTemplate(const std::string& value) {
    FVersionTemplate = value;
    _version = TWildcardPattern(value);
}

void TOneProcessTemplate::SetPathTemplate(const std::string& value) {
    FPathTemplate = value;
    _path = TWildcardPattern(value);
    _hasPathList = value.find(';') != std::string::npos;
    if (!_hasPathList) return;
    // Blanks belong to the items; empty items stay and fit only an empty path.
    std::vector<std::string> items;
    size_t start = 0;
    for (;;) {
        const size_t sep = value.find(';', start);
        items.push_back(value.substr(start, sep == std::string::npos ? std::string::npos : sep - start));
        if (sep == std::string::npos) break;
        start = sep + 1;
    }
    _pathItems.clear();
    for (const auto& item : items) _pathItems.emplace_back(item);
    _sl = std::move(items);
}

void TOneProcessTemplate::LoadFromXML(const pugi::xml_node& node, bool strict) {
    // Read all four before changing anything, so a refused element leaves the
    // alternative as it was.
    std::string texts[4];
    for (int k = 0; k < 4; ++k) texts[k] = PatternText(node, kPatternNames[k], strict);
    SetPathTemplate(texts[0]);
    SetCompanyTemplate(texts[1]);
    SetVersionTemplate(texts[2]);
    SetNameTemplate(texts[3]);
}

bool TOneProcessTemplate::FitsProcess(const TProcessInfo& process) const { return FitsProcess(TMatchSubject(process)); }

bool TOneProcessTemplate::FitsProcess(const TMatchSubject& subject) const {
    bool path = false;
    if (_hasPathList) {
        for (const TWildcardPattern& item : _pathItems)
            if (item.Matches(subject.path)) {
                path = true;
                break;
            }
    } else {
        path = _path.Matches(subject.path);
    }
    return path && _name.Matches(subject.name) && _company.Matches(subject.company) && _version.Matches(subject.version);
}

void TOneProcessTemplate::Assign(const TOneProcessTemplate& source) {
    if (&source == this) return;
    FCompanyTemplate = source.FCompanyTemplate;
    FNameTemplate = source.FNameTemplate;
    FPathTemplate = source.FPathTemplate;
    FVersionTemplate = source.FVersionTemplate;
    _company = source._company;
    _name = source._name;
    _path = source._path;
    _version = source._version;
    _hasPathList = source._hasPathList;
    if (source._sl) {
        _sl = source._sl;
        _pathItems = source._pathItems;
    }
}

std::string TOneProcessTemplate::ToString() const {
    return FNameTemplate + " " + FPathTemplate + " " + FVersionTemplate + " " + FCompanyTemplate;
}

// ---- TProcessTemplate ----

void TProcessTemplate::LoadFromXML(const pugi::xml_node& node, bool strict) {
    FSimpleProcessTemplates.clear();
    FId = ParseId(node);
    bool anyApp = false;
    for (pugi::xml_node app = node.child("app"); app; app = app.next_sibling("app")) {
        anyApp = true;
        auto one = std::make_unique<TOneProcessTemplate>();
        one->LoadFromXML(app, strict);
        FSimpleProcessTemplates.push_back(std::move(one));
    }
    if (!anyApp) {
        auto one = std::make_unique<TOneProcessTemplate>();
        one->LoadFromXML(node, strict);
        FSimpleProcessTemplates.push_back(std::move(one));
    }
}

bool TProcessTemplate::FitsProcess(const TProcessInfo& process) const { return FitsProcess(TMatchSubject(process)); }

bool TProcessTemplate::FitsProcess(const TMatchSubject& subject) const {
    for (const auto& one : FSimpleProcessTemplates)
        if (one->FitsProcess(subject)) return true;
    return false;
}

void TProcessTemplate::Assign(const TProcessTemplate& source) {
    if (&source == this) return;
    FId = source.FId;
    for (const auto& one : source.FSimpleProcessTemplates) AddSimpleTemplate().Assign(*one);
}

std::unique_ptr<TProcessTemplate> TProcessTemplate::Clone() const {
    auto copy = std::make_unique<TProcessTemplate>();
    copy->Assign(*this);
    return copy;
}

TOneProcessTemplate& TProcessTemplate::AddSimpleTemplate() {
    FSimpleProcessTemplates.push_back(std::make_unique<TOneProcessTemplate>());
    return *FSimpleProcessTemplates.back();
}

std::string TProcessTemplate::ToString() const {
    char head[16];
    std::snprintf(head, sizeof head, "%6d ", FId);
    std::string out = head;
    for (const auto& one : FSimpleProcessTemplates) out += one->ToString() + "\n\r";
    return out;
}

const TProcessTemplate* FindApplication(const TProcessTemplateList& templates, const TProcessInfo& process) {
    return FindApplication(templates, TMatchSubject(process));
}

const TProcessTemplate* FindApplication(const TProcessTemplateList& templates, const TMatchSubject& subject) {
    for (const auto& t : templates)
        if (t && t->FitsProcess(subject)) return t.get();
    return nullptr;
}

TProcessTemplateList CopyTemplates(const TProcessTemplateList& templates) {
    TProcessTemplateList out;
    out.reserve(templates.size());
    for (const auto& t : templates)
        if (t) out.push_back(t->Clone());
    return out;
}

}  // namespace qz
