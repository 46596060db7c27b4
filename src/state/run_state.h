// The one global state record of a run and the bits of its flag word.
// Plain data beside the per-adapter records, so every folder may include it.
#pragma once

#include <cstdint>

#include "state/records.h"

// OptionFlags bits: options, log state and the run's outcome share one word.
inline constexpr uint32_t FlagListing = 0x8;
inline constexpr uint32_t FlagImageFile = 0x10;
inline constexpr uint32_t FlagUserQuit = 0x20;
inline constexpr uint32_t FlagSilent = 0x40;
inline constexpr uint32_t FlagForce = 0x80;
inline constexpr uint32_t FlagUpdateStarted = 0x400;
inline constexpr uint32_t FlagLogOpen = 0x800;
inline constexpr uint32_t FlagLogEnabled = 0x1000;
inline constexpr uint32_t FlagAssumeDefault = 0x2000;
inline constexpr uint32_t FlagErrors = 0x8000;
inline constexpr uint32_t FlagUpdated = 0x10000;
inline constexpr uint32_t FlagForceTool = 0x8000000;

struct RunState {
    uint32_t OptionFlags;
    AdapterInfo* Adapters;        // filled by discovery
    ImageSelection* Selections;   // allocated zero-filled by the upgrade run
    InstalledFirmware* Installed; // filled by ReadInstalledFirmware
    uint32_t AdapterCount;        // length of all three arrays
    uint32_t CurrentAdapter;      // the adapter that per-adapter steps work on
    const char* ImageFileArg;     // the -i argument, not copied
};

// All zero at program start; nothing in it is ever freed.
extern RunState gRun;

inline bool HasFlag(uint32_t bits) { return (gRun.OptionFlags & bits) != 0; }
inline void SetFlag(uint32_t bits) { gRun.OptionFlags |= bits; }
inline void ClearFlag(uint32_t bits) { gRun.OptionFlags &= ~bits; }

// The records of the adapter at the current index.
inline AdapterInfo& CurrentAdapterInfo() { return gRun.Adapters[gRun.CurrentAdapter]; }
inline InstalledFirmware& CurrentInstalled() { return gRun.Installed[gRun.CurrentAdapter]; }
inline ImageSelection& CurrentSelection() { return gRun.Selections[gRun.CurrentAdapter]; }

// Exit statuses of both run modes.
inline constexpr int StatusComplete = 0;
inline constexpr int StatusRefused = 2;
inline constexpr int StatusErrors = 3;
