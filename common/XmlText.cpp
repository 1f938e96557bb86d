#include "common/XmlText.h"

#include <sstream>

namespace qz {

std::optional<std::string> ElementValue(const pugi::xml_node& element) {
    std::optional<std::string> text;
    for (pugi::xml_node n = element.first_child(); n; n = n.next_sibling()) {
        switch (n.type()) {
            case pugi::node_element:
                throw EXmlValueError(std::string("Element \"") + element.name() + "\" holds elements");
            case pugi::node_pcdata:
            case pugi::node_cdata:
                if (!text) text.emplace();
                *text += n.value();
                break;
            default: break;
        }
    }
    return text;
}

std::string ElementDeepText(const pugi::xml_node& element) {
    std::string out;
    // Walks the subtree by sibling and parent links instead of recursing.
    pugi::xml_node n = element.first_child();
    while (n) {
        if (n.type() == pugi::node_pcdata || n.type() == pugi::node_cdata) out += n.value();
        if (n.type() == pugi::node_element && n.first_child()) {
            n = n.first_child();
            continue;
        }
        while (n && n != element && !n.next_sibling()) n = n.parent();
        if (!n || n == element) break;
        n = n.next_sibling();
    }
    return out;
}

std::string OuterXml(const pugi::xml_node& node) {
    std::ostringstream out;
    node.print(out, "", pugi::format_raw);
    return out.str();
}

}  // namespace qz
