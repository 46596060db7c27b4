// The plan as a table for an 80-column terminal.
#pragma once

#include "planning/plan.h"

void PrintPlanText(const Plan& plan);
