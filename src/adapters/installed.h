#pragma once

#include <cstddef>
#include <cstdint>

#include "state/records.h"

// Builds RunState's InstalledFirmware array for every discovered adapter.
// Returns 0, or 2 when the array could not be allocated.
int ReadInstalledFirmware();
// Current adapter: InterfaceName from the parenthesised Description token.
void ExtractInterfaceName();
// Current adapter: which option ROM kind the NVRAM directory holds.
void ScanOptionRomImages();

// One character per component around the first point; false without a point.
// Reads at most fieldSize bytes of text.
bool ParseVersionText(const char* text, size_t fieldSize, FirmwareVersion& version);
