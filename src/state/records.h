// The per-adapter records: identity, installed firmware and chosen images.
// Element i of each RunState array describes the same adapter.
#pragma once

#include <array>
#include <cstdint>

#include "state/bmapi.h"

inline constexpr size_t TextFieldSize = 80; // Name, Description, InterfaceName
inline constexpr size_t MacTextSize = 13;   // 12 hexadecimal digits and NUL
inline constexpr size_t PathFieldSize = 4096;

// A firmware version: major, minor, build (IPMI has no build).
struct FirmwareVersion {
    uint32_t Major, Minor, Build;
};

struct AdapterInfo {
    PhyNic Nic;        // as the library returned it
    uint32_t DiagOpen; // 1 while the adapter is held in diagnostic mode
};

// InstalledFlags bits
inline constexpr uint32_t InstPxeVersion = 0x1;
inline constexpr uint32_t InstBootCodeVersion = 0x2;
inline constexpr uint32_t InstAnnounced = 0x4;
inline constexpr uint32_t InstClpVersion = 0x40;
inline constexpr uint32_t InstIscsiVersion = 0x80;

struct InstalledFirmware {
    uint32_t InstalledFlags;
    char Name[TextFieldSize];
    char Description[TextFieldSize];
    char InterfaceName[TextFieldSize];
    uint32_t BootCodeMajor, BootCodeMinor, BootCodeBuild;
    uint32_t IpmiMajor, IpmiMinor; // never assigned; backup names read them as 0
    uint16_t DeviceId, SubsystemId, VendorId, SubsystemVendorId;
    char MacText[MacTextSize];
    uint8_t PxeMajor, PxeMinor, PxeBuild;
    uint32_t ClpMajor, ClpMinor, ClpBuild; // installed CLP or iSCSI image
};

// The three kinds of image the catalog offers and the update pass writes.
enum class ImageKind { BootCode, Pxe, Clp };

// SelectionFlags bits
inline constexpr uint32_t SelPxeVersion = 0x1;
inline constexpr uint32_t SelBootCodeVersion = 0x2;
inline constexpr uint32_t SelBootCodeAccepted = 0x8;
inline constexpr uint32_t SelPxeAccepted = 0x10;
inline constexpr uint32_t SelIpmiVersion = 0x20;
inline constexpr uint32_t SelClpAccepted = 0x200;
inline constexpr uint32_t SelClpVersion = 0x400;

// What identifies an image file exactly: its size and the SHA-256 of its
// content, taken when the image is offered and checked before it is written.
struct ImageIdentity {
    bool Known; // false: the file could not be read whole
    uint64_t Size;
    std::array<uint8_t, 32> Sha256;
    bool operator==(const ImageIdentity&) const = default;
};

struct ImageSelection {
    uint32_t SelectionFlags;
    char BootCodePath[PathFieldSize];
    char PxePath[PathFieldSize];
    char ClpPath[PathFieldSize];
    uint32_t BootCodeMajor, BootCodeMinor, BootCodeBuild;
    uint16_t ImageDeviceId, ImageSubsystemId, ImageVendorId, ImageSubsystemVendorId;
    char ImageMacText[MacTextSize];
    uint8_t PxeMajor, PxeMinor, PxeBuild;
    uint32_t IpmiMajor, IpmiMinor;
    uint32_t ClpMajor, ClpMinor, ClpBuild;
    std::array<ImageIdentity, 3> Identity; // per ImageKind: the image offered
};
