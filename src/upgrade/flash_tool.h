// The external flashing tool.
#pragma once

#include <cstdint>

#include "state/records.h"

inline constexpr char FlashToolPath[] = "/usr/sbin/wrenflash";

// True when the tool is given -F: the -F option, or an image that was not
// newer than the installed one was offered earlier in the run.
bool FlashToolForced();

// Writes the image with the tool and returns the tool's exit code, 0 on success.
int RunFlashTool(ImageKind kind, uint32_t adapter, const char* imagePath, const char* backupPath);
