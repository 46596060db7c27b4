// The whole program behind main(): options, run mode and exit status.
#pragma once

// Starts from the global state as it is (all zero in a fresh process).
int TidemarkMain(int argc, char** argv);
