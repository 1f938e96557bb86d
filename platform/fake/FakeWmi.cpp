#include "platform/Wmi.h"
#include "platform/fake/FakeWorld.h"

namespace platform::wmi {

std::optional<std::vector<Row>> Query(const std::string& nameSpace, const std::string& wql,
                                      const std::vector<std::string>& properties) {
    fake::Locked w;
    auto it = w->wmiTables.find(nameSpace + "|" + wql);
    if (it == w->wmiTables.end()) return std::nullopt;
    std::vector<Row> out;
    for (const Row& staged : it->second) {
        Row row;
        for (const auto& p : properties) {
            auto v = staged.find(p);
            if (v != staged.end()) row[p] = v->second;
        }
        out.push_back(std::move(row));
    }
    return out;
}

}  // namespace platform::wmi
