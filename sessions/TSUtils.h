#pragma once
#include <cstdint>
#include <string>

namespace qz {

enum class TStationType { stRegular, stTerminalServer, stCitrixMachine, stHorizonMachine };

class TTSUtils {
public:
    static bool IsTSEnabled();
    static bool IsCitrixInstalled();
    static bool IsHorizonInstalled();
    static TStationType GetStationType();
    static std::string GetVDIType();
    static std::string GetSessionEventName(uint32_t eventType);
};

}  // namespace qz
