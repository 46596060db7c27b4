#include "console/prompt.h"

#include <array>
#include <cstdio>
#include <string_view>

#include "console/output.h"
#include "state/run_state.h"

namespace {

constexpr size_t PromptBufferSize = 80; // so at most 79 characters of each

constexpr std::array<std::string_view, 5> YesWords = {"y", "yes", "Y", "Yes", "YES"};
constexpr std::array<std::string_view, 5> QuitWords = {"q", "Q", "Quit", "QUIT", "quit"};

bool IsOneOf(std::string_view word, const std::array<std::string_view, 5>& words)
{
    for (std::string_view candidate : words)
        if (word == candidate)
            return true;
    return false;
}

constexpr size_t AnswerLimit = PromptBufferSize - 1;

struct TypedLine {
    std::array<char, PromptBufferSize> Text{}; // the first 79 characters, without the line end
    size_t Length = 0;
    bool Anything = false; // false: end of input or a read error before any character
    bool LineEnd = false;  // the line ended with its line end, not with the input
};

// Reads up to the line end and keeps the first 79 characters; the rest of an
// overlong line is discarded, so it cannot answer the next question.
TypedLine ReadAnswerLine()
{
    TypedLine line;
    for (int c = std::getchar(); c != EOF; c = std::getchar()) {
        line.Anything = true;
        if (c == '\n') {
            line.LineEnd = true;
            break;
        }
        if (line.Length < AnswerLimit)
            line.Text[line.Length++] = static_cast<char>(c);
    }
    return line;
}

} // namespace

int AskYesNoQuit(const char* question, int silentAnswer, int forcedAnswer, int defaultAnswer,
                 const char* defaultLabel)
{
    if (HasFlag(FlagSilent))
        return HasFlag(FlagForce) ? forcedAnswer : silentAnswer;
    if (HasFlag(FlagAssumeDefault))
        return silentAnswer;

    std::array<char, PromptBufferSize> prompt{};
    std::snprintf(prompt.data(), prompt.size(), "%s y/n/q (%s):", question, defaultLabel);
    Output("%s", prompt.data());
    LogFlush();          // the question is in the log, should the run end while it waits
    std::fflush(stdout); // the question must be visible before input is read

    TypedLine line = ReadAnswerLine();
    if (!line.Anything) {
        Output("Unknown input problem!\nQuit...\n");
        return AnswerQuit;
    }
    // The answer completes the prompt's line in the log.
    log_write("%s%s", line.Text.data(), line.LineEnd ? "\n" : "");

    // Only an empty line takes the default; a lone character at the end of
    // input is judged as typed.
    std::string_view answer(line.Text.data(), line.Length);
    if (line.LineEnd && answer.empty())
        return defaultAnswer;
    if (IsOneOf(answer, YesWords))
        return AnswerYes;
    if (IsOneOf(answer, QuitWords))
        return AnswerQuit;
    return AnswerNo;
}
