// The update pass as the upgrade run and tidemark-apply both run it: every
// accepted image in order, signals noted rather than obeyed until every
// interface is up again, the bring-up and the outcome lines.
#pragma once

// With the library open and the selection made: writes, brings the
// interfaces up (closing the library when that succeeds), reports a noted
// signal and the outcome. Returns StatusComplete, StatusErrors or
// StatusRefused (nothing was written).
int RunUpdatePass();
