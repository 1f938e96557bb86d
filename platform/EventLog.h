#pragma once
#include <cstdint>
#include <string>

// Event sources of the Windows event log. Failures answer 0 or false;
// nothing here raises.
namespace platform::eventlog {

constexpr uint16_t TypeError = 1;
constexpr uint16_t TypeWarning = 2;
constexpr uint16_t TypeInformation = 4;

using SourceHandle = uintptr_t;

// 0 when the source cannot be registered.
SourceHandle RegisterSource(const std::string& sourceName);
void DeregisterSource(SourceHandle handle);
// One event with a single insertion string. Returns false when it was not written.
bool Report(SourceHandle handle, uint16_t type, uint16_t category, uint32_t eventId, const std::string& text);

}  // namespace platform::eventlog
