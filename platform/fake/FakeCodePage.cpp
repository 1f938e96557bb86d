#include "platform/CodePage.h"

namespace platform::sys {

std::string Utf8ToAnsi(const std::string& text) { return text; }

}  // namespace platform::sys
