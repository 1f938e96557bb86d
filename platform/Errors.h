#pragma once
#include <cstdint>
#include <stdexcept>
#include <string>

// Failures of the system calls behind every facility of this folder. Each
// facility's header says which of its calls raise SystemError and which
// answer plainly.
namespace platform {

// A failed system call, carrying the system's own error code and text.
class SystemError : public std::runtime_error {
public:
    SystemError(uint32_t code, const std::string& text) : std::runtime_error(text), code_(code) {}
    uint32_t code() const { return code_; }

private:
    uint32_t code_;
};

// System error codes that callers above the seam look at.
constexpr uint32_t ErrorAccessDenied = 5;
constexpr uint32_t ErrorFileExists = 80;
constexpr uint32_t ErrorDiskFull = 112;

// The system's message text for an error code, without the trailing line end and full stop.
std::string SystemErrorText(uint32_t code);

// The calling thread's last system error code.
uint32_t LastErrorCode();

[[noreturn]] void ThrowSystemError(uint32_t code);

}  // namespace platform
