/* Preloaded into the program under test: every pause is appended to the
 * trace file named by TIDEMARK_TEST_TRACE ("sleep N") and returns at once.
 *
 * With TIDEMARK_TEST_HOLD_PAUSE=N and TIDEMARK_TEST_PAUSE_MARK=FILE, the
 * first pause of N seconds is held instead: it creates FILE and waits until
 * a signal's handler cuts it (at most 30 seconds), then reports that one
 * second of it passed, as sleep reports the seconds left. Later pauses find
 * FILE and return at once. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

enum { HoldLimitSeconds = 30 };

static unsigned int held_pause(unsigned int seconds)
{
    const char* hold = getenv("TIDEMARK_TEST_HOLD_PAUSE");
    const char* mark = getenv("TIDEMARK_TEST_PAUSE_MARK");
    if (hold == NULL || mark == NULL || strtoul(hold, NULL, 10) != seconds || access(mark, F_OK) == 0)
        return 0;
    FILE* file = fopen(mark, "w");
    if (file != NULL)
        fclose(file);
    struct timespec limit = {HoldLimitSeconds, 0};
    if (nanosleep(&limit, &limit) != 0 && errno == EINTR)
        return seconds - 1;
    return 0;
}

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
    return held_pause(seconds);
}
