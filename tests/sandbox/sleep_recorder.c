/* Preloaded into the program under test: every pause is appended to the
 * trace file named by TIDEMARK_TEST_TRACE ("sleep N") and returns at once. */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

unsigned int sleep(unsigned int seconds)
{
    const char* path = getenv("TIDEMARK_TEST_TRACE");
    if (path != NULL) {
        FILE* trace = fopen(path, "a");
        if (trace != NULL) {
            fprintf(trace, "sleep %u\n", seconds);
            fclose(trace);
        }
    }
    return 0;
}
