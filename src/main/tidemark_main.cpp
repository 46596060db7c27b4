// The argument pre-check, the options, their combination rules and the
// choice of run mode.
#include "main/tidemark_main.h"

#include <unistd.h>

#include <cstring>

#include "console/output.h"
#include "main/modes.h"
#include "state/run_state.h"

namespace {

constexpr char OptionString[] = "yhcsFi:";

// Combination rules, tested in this order: a flag together with any of the mask.
struct CombinationRule {
    uint32_t Flag;
    uint32_t Mask;
};
constexpr CombinationRule RefusedCombinations[] = {
    {FlagSilent, FlagListing | FlagImageFile},
    {FlagForce, FlagListing | FlagImageFile},
    {FlagAssumeDefault, FlagListing | FlagImageFile | FlagForce},
    {FlagListing, FlagImageFile | FlagSilent | FlagForce},
};

void PrintUsage()
{
    Output("USAGE: tidemark [ -s [ -F ] ] [ -y [ -F ] ] [ -c ] [ -h ] \n");
    Output(
        "\t With no options, interactively upgrade Boot Code, PXE and IPMI, current firmware is saved. \n");
    Output("\t -s  Silently upgrade Boot Code, PXE, and IPMI.\n");
    Output("\t -F  Force downgrade if system has newer Boot Code, PXE or IPMI.\n");
    Output("\t -y  Assume default repsonse for all prompts.\n");
    Output("\t -c  Display currently installed firmware information.\n");
    Output("\t -h  Display this help menu.\n");
}

// Only the last argument is examined: it must hold a '-' and be longer
// than one character.
bool PassesPreCheck(int argc, char** argv)
{
    if (argc < 2)
        return true;
    const char* last = argv[argc - 1];
    return std::strchr(last, '-') != nullptr && std::strlen(last) > 1;
}

} // namespace

int TidemarkMain(int argc, char** argv)
{
    // 0 makes the option parser start afresh, also when it ran before in
    // this process.
    optind = 0;
    if (!PassesPreCheck(argc, argv)) {
        PrintUsage();
        return StatusRefused;
    }

    for (int option; (option = getopt(argc, argv, OptionString)) != -1;) {
        switch (option) {
        case 'y': SetFlag(FlagAssumeDefault); break;
        case 'h': PrintUsage(); return StatusRefused;
        case 'c': SetFlag(FlagListing); break;
        case 's': SetFlag(FlagSilent); break;
        case 'F': SetFlag(FlagForce); break;
        case 'i':
            gRun.ImageFileArg = optarg;
            SetFlag(FlagImageFile);
            break;
        default:
            Output("Unknown command line option: %c\n", optopt);
            PrintUsage();
            return StatusRefused;
        }
    }

    for (const CombinationRule& rule : RefusedCombinations) {
        if (HasFlag(rule.Flag) && HasFlag(rule.Mask)) {
            PrintUsage();
            return StatusRefused;
        }
    }

    return HasFlag(FlagListing) ? ListInstalledFirmware() : RunUpgrade();
}
