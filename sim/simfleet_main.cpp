// simfleet fleet DIR    writes the demo fleet as a fleet directory
// simfleet catalog DIR  writes the demo catalog tree under DIR
#include "fleet.h"

#include <cstdio>
#include <cstring>

int main(int argc, char** argv)
{
    if (argc != 3 || (std::strcmp(argv[1], "fleet") != 0 && std::strcmp(argv[1], "catalog") != 0)) {
        std::fprintf(stderr, "usage: simfleet fleet DIR | simfleet catalog DIR\n");
        return 1;
    }
    bool fleet = std::strcmp(argv[1], "fleet") == 0;
    bool ok = fleet ? sim::WriteDemoFleet(argv[2]) : sim::WriteDemoCatalog(argv[2]);
    if (!ok) {
        std::fprintf(stderr, "simfleet: cannot write the demo %s under %s\n", argv[1], argv[2]);
        return 2;
    }
    return 0;
}
