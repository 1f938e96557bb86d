#pragma once
#include <string>
#include <vector>

#include <pugixml.hpp>

#include "protocol/GuardEventsInfo.h"

namespace qztest {

// The journal's pending application events, one "kind id user_id" text each, in order.
inline std::vector<std::string> AppEvents(qz::TGuardEventsInfo& journal) {
    pugi::xml_document doc;
    pugi::xml_node root = doc.append_child("command");
    journal.SaveEvents(root, "2.5");
    std::vector<std::string> out;
    for (pugi::xml_node e : root.child("events").children("event"))
        for (pugi::xml_node a : e.children()) {
            const std::string kind = a.name();
            if (kind == "app_start" || kind == "app_stop")
                out.push_back(kind + " " + a.attribute("id").value() + " " + a.attribute("user_id").value());
        }
    return out;
}

}  // namespace qztest
