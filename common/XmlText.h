#pragma once
// Reading text out of XML elements, and writing a node back as text. None of
// these recurse, so no nesting depth can exhaust the stack.
#include <optional>
#include <stdexcept>
#include <string>

#include <pugixml.hpp>

namespace qz {

// An element that holds elements where a plain value was expected.
class EXmlValueError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The element's own text value; nullopt when it has no text at all. Raises
// EXmlValueError when the element holds elements.
std::optional<std::string> ElementValue(const pugi::xml_node& element);
// Every text below the element, in document order, at any depth.
std::string ElementDeepText(const pugi::xml_node& element);
// The node and everything below it as unindented XML.
std::string OuterXml(const pugi::xml_node& node);

}  // namespace qz
