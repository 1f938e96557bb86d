#include "platform/Errors.h"

namespace platform {

std::string SystemErrorText(uint32_t code) {
    switch (code) {
        case 0: return "The operation completed successfully";
        case 2: return "The system cannot find the file specified";
        case 5: return "Access is denied";
        case 1060: return "The specified service does not exist as an installed service";
        case 1063: return "The service process could not connect to the service controller";
        case 1072: return "The specified service has been marked for deletion";
        case 1073: return "The specified service already exists";
        case 1332: return "No mapping between account names and security IDs was done";
        default: return "System error " + std::to_string(code);
    }
}

namespace {
thread_local uint32_t t_lastError = 0;
}
uint32_t LastErrorCode() { return t_lastError; }

void ThrowSystemError(uint32_t code) { throw SystemError(code, SystemErrorText(code)); }

}  // namespace platform
