// Typed answers: standard input holds the input bytes; several questions in
// a row read from it, as the selection pass asks them.
#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "console/prompt.h"
#include "fuzz_support.h"

namespace {

struct Question {
    const char* Text;
    int Silent, Forced, Default;
    const char* Label;
};

// The two argument sets the confirmations use, and a question that fills
// the prompt line.
constexpr Question Questions[] = {
    {"Update Boot Code 1.9.6 to 2.0.1?", AnswerYes, AnswerYes, AnswerYes, "y"},
    {"Update PXE 1.5.0 to 1.4.9?", AnswerNo, AnswerYes, AnswerNo, "n"},
    {"Update CLP 3.1.2 to 3.1.2?", AnswerNo, AnswerYes, AnswerNo, "n"},
    {"Update Boot Code image /opt/orvan/nic_fw/nx2/bootcode/a-very-long-name.bin", AnswerYes, AnswerYes,
     AnswerYes, "y"},
    {"Update %s %n %d?", AnswerNo, AnswerYes, AnswerNo, "n"},
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const fuzz::MemoryFile input("stdin");
    input.Fill(data, size);
    if (std::freopen(input.Path.c_str(), "r", stdin) == nullptr) {
        std::perror("freopen");
        std::abort();
    }

    fuzz::ResetRunState();
    bool ended = false;
    for (const Question& q : Questions) {
        const int answer = AskYesNoQuit(q.Text, q.Silent, q.Forced, q.Default, q.Label);
        fuzz::Expect(answer == AnswerYes || answer == AnswerNo || answer == AnswerQuit, "an answer code");
        // Once the input is used up, every question is answered with quit.
        fuzz::Expect(!ended || answer == AnswerQuit, "quit at the end of input");
        ended = std::feof(stdin) != 0;
    }
    return 0;
}
