// The command line: the input's lines are the arguments of TidemarkMain. The
// run is made as a user without root, so the upgrade run stops at its root
// check before it writes anything; the listing reads the substitute
// library's built-in fleet and prints to the console only.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "main/tidemark_main.h"

namespace {

constexpr size_t MaxArguments = 16;
constexpr uid_t Nobody = 65534;

} // namespace

// The program asks these two for its root check; in this process nobody is
// root.
extern "C" uid_t getuid() noexcept { return Nobody; }
extern "C" uid_t geteuid() noexcept { return Nobody; }

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::RequireSandbox();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // One argument per line; a zero byte ends an argument early, as it
    // would in a real argument vector.
    std::vector<std::string> words(1, "tidemark");
    std::string word;
    for (size_t i = 0; size > 0 && i <= size && words.size() < MaxArguments; ++i) {
        if (i == size || data[i] == '\n') {
            words.push_back(word.c_str());
            word.clear();
        } else {
            word += static_cast<char>(data[i]);
        }
    }
    std::vector<char*> argv;
    for (std::string& w : words)
        argv.push_back(w.data());
    argv.push_back(nullptr);

    fuzz::ResetRunState();
    const int status = TidemarkMain(static_cast<int>(words.size()), argv.data());
    fuzz::Expect(status == StatusComplete || status == StatusRefused, "a run without root writes nothing");
    fuzz::Expect(!HasFlag(FlagLogOpen | FlagLogEnabled), "no log is written");
    fuzz::ResetRunState();
    return 0;
}
