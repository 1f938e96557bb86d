#include "manager/Messages.h"

#include <gtest/gtest.h>

using namespace qz;

namespace {

class RecordingSink : public TMessagesSink {
public:
    std::vector<std::pair<TMessageKind, std::string>> lines;
    void AddLine(TMessageKind kind, const std::string& line) override { lines.emplace_back(kind, line); }
};

}  // namespace

TEST(ManagerMessages, LineSplitting) {
    const struct {
        std::string text;
        std::vector<std::string> lines;
    } cases[] = {
        {"", {" "}},
        {"one", {"one"}},
        {"a\n\rb", {"a", "b"}},
        {"a\r\nb\nc\rd", {"a", "b", "c", "d"}},
        // "\n\r" is one break, so two of them leave one empty line between.
        {"a\n\r\n\rb", {"a", "", "b"}},
        {"Room : R\n\rStation Name : S\n\r", {"Room : R", "Station Name : S"}},
        {"\n", {""}},
        {"a\n\n", {"a", ""}},
    };
    for (const auto& c : cases) EXPECT_EQ(MessageLines(c.text), c.lines) << c.text;
}

TEST(ManagerMessages, EveryLineOfAMessageTakesItsKind) {
    RecordingSink sink;
    sink.AddFailMessage("first\n\rsecond");
    sink.AddMessage("");
    sink.AddSuccessMessage("done");
    const std::vector<std::pair<TMessageKind, std::string>> expected = {
        {TMessageKind::Failure, "first"},
        {TMessageKind::Failure, "second"},
        {TMessageKind::Plain, " "},
        {TMessageKind::Success, "done"},
    };
    EXPECT_EQ(sink.lines, expected);
}
