#include "state/run_state.h"

RunState gRun;
