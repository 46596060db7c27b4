#include "console/descriptors.h"
#include "main/tidemark_main.h"
#include "state/run_state.h"

int main(int argc, char** argv)
{
    // Before anything opens a file, so that none becomes the console.
    if (!OpenClosedStandardDescriptors())
        return StatusRefused;
    return TidemarkMain(argc, argv);
}
