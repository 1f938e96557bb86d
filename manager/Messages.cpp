#include "manager/Messages.h"

namespace qz {

std::vector<std::string> MessageLines(const std::string& AMessage) {
    // An empty message still shows as a line.
    std::string text = AMessage.empty() ? std::string(" ") : AMessage;
    // The wizard's texts break lines with "\n\r"; that is one break, not two.
    std::string joined;
    joined.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        joined += text[i];
        if (text[i] == '\n' && i + 1 < text.size() && text[i + 1] == '\r') ++i;
    }
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < joined.size()) {
        const size_t end = joined.find_first_of("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(joined.substr(start));
            break;
        }
        lines.push_back(joined.substr(start, end - start));
        start = end + 1;
        if (joined[end] == '\r' && start < joined.size() && joined[start] == '\n') ++start;
    }
    return lines;
}

}  // namespace qz
