#pragma once

// Builds RunState's adapter array and count from the supported adapters, in
// the library's handle order. The run drivers decide by the count alone.
int DiscoverAdapters();
