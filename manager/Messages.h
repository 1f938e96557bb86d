#pragma once
// The messages window's lines, apart from the window that draws them.
#include <string>
#include <vector>

namespace qz {

enum class TMessageKind { Plain, Success, Failure };

// The list lines one message becomes: an empty text is one blank, "\n\r" is one
// line break, and the text is split at CR LF, LF or CR.
std::vector<std::string> MessageLines(const std::string& AMessage);

// Where the apply wizard reports its steps. The window behind it adds every
// line of a message with the same kind.
class TMessagesSink {
public:
    virtual ~TMessagesSink() = default;
    virtual void AddLine(TMessageKind kind, const std::string& line) = 0;

    void AddMessage(const std::string& AMessage) { Add(TMessageKind::Plain, AMessage); }
    void AddSuccessMessage(const std::string& AMessage) { Add(TMessageKind::Success, AMessage); }
    void AddFailMessage(const std::string& AMessage) { Add(TMessageKind::Failure, AMessage); }
    void Add(TMessageKind kind, const std::string& AMessage) {
        for (const auto& line : MessageLines(AMessage)) AddLine(kind, line);
    }
};

}  // namespace qz
