// How RunCommand (declared in console/output.h) runs a command line: through
// /bin/sh -c, in a process group of its own, so that a terminal's Ctrl-C or
// hang-up and a kill of tidemark's process group do not reach it; with the
// default signal dispositions and an empty mask; standard input from
// /dev/null; its output relayed to tidemark's own standard output and error,
// so that it never writes to a terminal from a background process group.
#pragma once

// The one descriptor above 2 that commands inherit; every other one is
// closed in them. -1: none.
void InheritInCommands(int fd);
