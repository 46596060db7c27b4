// Driver reload after a write, and interface bring-up after the update pass.
#pragma once

#include <cstdint>

int ReloadDriver();
int BringUpInterfaces();
// Whether the bring-up raised the adapter's interface; false also when an
// earlier interface failed and the bring-up stopped before it.
bool InterfaceRaised(uint32_t adapter);
