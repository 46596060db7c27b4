// The two run modes; each returns the process exit status.
#pragma once

int RunUpgrade();
int ListInstalledFirmware();
