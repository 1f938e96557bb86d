#pragma once
// Queries of the system's management instrumentation. A query that can't be
// run reads as nullopt; nothing here raises.
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace platform::wmi {

// One row: the asked properties that could be read, as text (numbers in decimal).
using Row = std::map<std::string, std::string>;

// Runs a WQL query (forward-only) in a namespace of the local machine, such
// as "root\\CIMV2", reading the named properties of every row.
std::optional<std::vector<Row>> Query(const std::string& nameSpace, const std::string& wql,
                                      const std::vector<std::string>& properties);

}  // namespace platform::wmi
