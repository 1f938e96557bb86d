#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "monitor/ProcessInfo.h"

namespace qz {

// A pattern element the template needs is not in the document. Readers of a
// server reply treat it like any absent element; other errors are malformed input.
class EAbsentElement : public std::runtime_error {
public:
    explicit EAbsentElement(const std::string& name) : std::runtime_error("Element \"" + name + "\" not found") {}
};

// Case-insensitive wildcard match: "*" is any run of characters, "?" exactly
// one, anything else itself. A value that is used up fits only the rest of
// pattern "" or "*", so "**" doesn't fit an empty value. Text is UTF-8 and
// compared by character; lengths are not limited.
bool WildcardMatch(const std::string& value, const std::string& pattern);

// Lower-cased characters of UTF-8 text, as the matcher compares them.
std::u32string LowerCaseChars(const std::string& text);

// A pattern prepared once for many values: lower-cased, with its literal
// head and tail known so most values that can't fit are refused at once.
class TWildcardPattern {
public:
    explicit TWildcardPattern(const std::string& pattern = "*");
    // The value as LowerCaseChars gives it.
    bool Matches(const std::u32string& lowerValue) const;

private:
    std::u32string _p;
    size_t _head = 0;   // characters before the first "*"
    size_t _tail = 0;   // characters after the last "*"
    bool _hasStar = false;
};

// A process's four values lower-cased once, for trying many templates.
struct TMatchSubject {
    explicit TMatchSubject(const TProcessInfo& process);
    std::u32string path, name, company, version;
};

// One alternative of an application: four patterns over a process record.
class TOneProcessTemplate {
public:
    TOneProcessTemplate();

    // Reads "path", "company", "version" and "name". With strict set a missing
    // element raises EAbsentElement; otherwise it reads as empty.
    void LoadFromXML(const pugi::xml_node& node, bool strict = true);
    bool FitsProcess(const TProcessInfo& process) const;
    bool FitsProcess(const TMatchSubject& subject) const;
    void Assign(const TOneProcessTemplate& source);
    std::string ToString() const;

    const std::string& CompanyTemplate() const { return FCompanyTemplate; }
    const std::string& NameTemplate() const { return FNameTemplate; }
    const std::string& PathTemplate() const { return FPathTemplate; }
    const std::string& VersionTemplate() const { return FVersionTemplate; }
    // Present only when the path pattern holds a ";".
    const std::optional<std::vector<std::string>>& PathList() const { return _sl; }

    void SetCompanyTemplate(const std::string& value);
    void SetNameTemplate(const std::string& value);
    void SetPathTemplate(const std::string& value);
    void SetVersionTemplate(const std::string& value);

private:
    std::string FCompanyTemplate;
    std::string FNameTemplate;
    std::string FPathTemplate;
    std::string FVersionTemplate;
    std::optional<std::vector<std::string>> _sl;
    // The same patterns prepared for matching.
    TWildcardPattern _company, _name, _path, _version;
    std::vector<TWildcardPattern> _pathItems;
    bool _hasPathList = false;  // the path pattern holds a ";"
};

// One application the server asked to observe; it fits a process when any of
// its alternatives does.
class TProcessTemplate {
public:
    TProcessTemplate() = default;

    // Replaces the content from a template element of any name: its "id"
    // attribute (decimal; missing or malformed raises std::invalid_argument)
    // and either its "app" children or, without any, its own pattern elements.
    void LoadFromXML(const pugi::xml_node& node, bool strict = true);
    bool FitsProcess(const TProcessInfo& process) const;
    bool FitsProcess(const TMatchSubject& subject) const;
    // Copies the id and appends copies of the source's alternatives.
    void Assign(const TProcessTemplate& source);
    std::unique_ptr<TProcessTemplate> Clone() const;
    std::string ToString() const;

    int32_t Id() const { return FId; }
    void SetId(int32_t id) { FId = id; }
    const std::vector<std::unique_ptr<TOneProcessTemplate>>& SimpleProcessTemplates() const {
        return FSimpleProcessTemplates;
    }
    TOneProcessTemplate& AddSimpleTemplate();

private:
    int32_t FId = 0;
    std::vector<std::unique_ptr<TOneProcessTemplate>> FSimpleProcessTemplates;
};

using TProcessTemplateList = std::vector<std::unique_ptr<TProcessTemplate>>;

// The first template of the list that fits the process, or nullptr; list
// order breaks ties between applications.
const TProcessTemplate* FindApplication(const TProcessTemplateList& templates, const TProcessInfo& process);
const TProcessTemplate* FindApplication(const TProcessTemplateList& templates, const TMatchSubject& subject);
// A copy of every template, in order.
TProcessTemplateList CopyTemplates(const TProcessTemplateList& templates);

}  // namespace qz
