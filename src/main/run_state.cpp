#include "main/run_state.h"

RunState gRun;
