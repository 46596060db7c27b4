// Catalog lookup and image selection for the adapter at the current index.
#pragma once

inline constexpr char BootCodeCatalogDir[] = "/opt/orvan/nic_fw/nx2/bootcode/";
inline constexpr char BootCodeCatalogFile[] = "/opt/orvan/nic_fw/nx2/bootcode/bootcode.info";
inline constexpr char PxeCatalogDir[] = "/opt/orvan/nic_fw/nx2/pxe/";
inline constexpr char PxeCatalogFile[] = "/opt/orvan/nic_fw/nx2/pxe/pxe.info";
inline constexpr char ClpCatalogDir[] = "/opt/orvan/nic_fw/nx2/clp/";
inline constexpr char ClpCatalogFile[] = "/opt/orvan/nic_fw/nx2/clp/clp.info";

// Each returns 0; the outcome is in the adapter's ImageSelection and in
// FlagUserQuit.
int SelectBootCode();
int SelectPXE();
int SelectCLP();
