#pragma once
#include "service/ServiceFramework.h"

namespace qz {

// The agent's service definition.
class TTallistoClient : public TService {
public:
    TTallistoClient();
    void ServiceSessionChange(uint32_t eventType, uint32_t sessionId) override;
};

}  // namespace qz
