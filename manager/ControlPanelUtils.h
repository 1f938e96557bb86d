#pragma once
// The manager's Control Panel entry.
#include <string>

namespace qz {

class TControlPanelUtils {
public:
    static constexpr const char* AppletId = "{987FEA4E-5C72-4f44-B168-B183B58ED115}";
    // Writes the entry's values for the program at programPath; false on any failure.
    static bool RegisterApplet(const std::string& programPath);
    // Deletes the entry's keys with everything under them; false on any failure.
    static bool UnregisterApplet();
};

}  // namespace qz
