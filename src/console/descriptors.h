// Standard input, output and error at program start.
#pragma once

// Opens /dev/null on each of descriptors 0, 1 and 2 that is closed, so that
// no file the program opens later (the log) lands on one of them and takes
// what is meant for the console. False when one of them stays closed.
bool OpenClosedStandardDescriptors();
