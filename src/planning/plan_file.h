// Saved plans on disk: written whole or not at all, read with a size limit.
#pragma once

#include <sys/types.h>

#include <string>

#include "planning/plan.h"

// Writes the document to path, mode 0600: into a new file beside it, synced,
// then renamed over path, so that path holds the old content or the new,
// never a part. Refuses a path that is a symbolic link or something other
// than a regular file. False with a one-line reason; nothing is left behind.
bool WritePlanFile(const std::string& path, const std::string& document, std::string& reason);

// The same for any document, with the mode given.
bool WriteFileAtomically(const std::string& path, const std::string& document, mode_t mode,
                         std::string& reason);

// Reads the regular file at path (at most PlanDocumentMaximum bytes) as a
// plan document into plan. False with a one-line reason.
bool ReadPlanFile(const std::string& path, Plan& plan, std::string& reason);
