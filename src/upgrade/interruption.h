// Signals during the update pass. From the first write to the end of the
// bring-up, INT, TERM, HUP and QUIT are noted instead of ending the run, so
// that no image is cut and the driver and interfaces are never left down;
// the pass writes no further image once one was noted. A console that is
// gone (SIGPIPE) no longer ends the run either.
#pragma once

// INT, TERM, HUP and QUIT are noted from here on, none so far; SIGPIPE is
// ignored.
void CatchInterruptions();
// INT, TERM, HUP and QUIT take their default effect again. SIGPIPE stays
// ignored, so that the outcome is reached also without a console.
void ReleaseInterruptions();
// The first signal noted, 0 for none.
int InterruptingSignal();
// When a signal was noted: the run counts as failed, and one line on the
// console and in the log names the signal.
void ReportInterruption();
