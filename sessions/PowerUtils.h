#pragma once
#include <cstdint>

namespace qz {

class TPowerUtils {
public:
    static constexpr uint32_t NoSession = 0xFFFFFFFF;
    // The last active session in enumeration order, or NoSession.
    static uint32_t GetActiveSessionId();
};

}  // namespace qz
