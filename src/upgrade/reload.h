// Driver reload after a write, and interface bring-up after the update pass.
#pragma once

int ReloadDriver();
int BringUpInterfaces();
