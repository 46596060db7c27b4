// The -c run mode: the installed firmware of every adapter, console only.
#include "adapters/inventory.h"
#include "console/output.h"
#include "main/modes.h"
#include "state/bmapi.h"
#include "state/records.h"
#include "state/run_state.h"

namespace {

void PrintAdapterBlock(const InstalledFirmware& nic)
{
    Output("MAC          PCI-ID              NIC\n");
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat" // "%-012s": the 0 flag is ignored beside '-'
    Output("%-012s %04X-%04X-%04X-%04X %s \n\n", nic.MacText, nic.VendorId, nic.DeviceId,
           nic.SubsystemVendorId, nic.SubsystemId, nic.Name);
#pragma GCC diagnostic pop
    Output("     Image      Version\n");
    Output("----------------------------------------------------------------------\n");
    Output("        BC      %d.%d.%d\n", nic.BootCodeMajor, nic.BootCodeMinor, nic.BootCodeBuild);
    if (nic.InstalledFlags & InstPxeVersion)
        Output("       PXE      %d.%d.%d\n", nic.PxeMajor, nic.PxeMinor, nic.PxeBuild);
    if (nic.InstalledFlags & InstClpVersion)
        Output("       CLP      %d.%d.%d\n", nic.ClpMajor, nic.ClpMinor, nic.ClpBuild);
    if (nic.InstalledFlags & InstIscsiVersion)
        Output("     iSCSI      %d.%d.%d\n", nic.ClpMajor, nic.ClpMinor, nic.ClpBuild);
    Output("\n");
}

} // namespace

int ListInstalledFirmware()
{
    if (!LibraryVersionSupported())
        return StatusRefused;
    if (BmapiInitializeEx(0) != 0)
        return StatusRefused;
    if (TakeInventory() != Inventory::Taken) {
        BmapiUninitialize();
        return StatusRefused;
    }
    for (uint32_t i = 0; i < gRun.AdapterCount; ++i)
        PrintAdapterBlock(gRun.Installed[i]);
    BmapiUninitialize();
    return StatusComplete;
}
