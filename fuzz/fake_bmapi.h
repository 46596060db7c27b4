// A fake of the adapter library's calls that serves what the adapter fuzz
// target decoded from its input, and aborts when the system breaks the
// library's calling rules.
#pragma once

#include "adapter_input.h"

namespace fuzz {

// Serves library from now on, with no call made yet.
void LoadFakeLibrary(FakeLibrary library);
// Whether BmapiUninitialize was called since the last load.
bool FakeLibraryClosed();

} // namespace fuzz
