// The device identifiers and the two WM_DEVICECHANGE records the program reads, as the
// system lays them out on a 64-bit guest. One definition for the window, the share manager,
// the simulated desktop and the tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace quor {

struct Guid {
    std::uint32_t data1;
    std::uint16_t data2;
    std::uint16_t data3;
    std::uint8_t data4[8];
    bool operator==(const Guid& o) const { return std::memcmp(this, &o, sizeof *this) == 0; }
};
static_assert(sizeof(Guid) == 16);

// virtio-serial port device interface class.
inline constexpr Guid kSerialPortClass{0x6FDE7521, 0x1B65, 0x48AE, {0xB6, 0x28, 0x80, 0xBE, 0x62, 0x01, 0x60, 0x26}};
// virtio-fs device interface class.
inline constexpr Guid kVirtioFsClass{0xA1B0CBF2, 0xF488, 0x4B29, {0xB8, 0x9F, 0x16, 0xC7, 0x8E, 0x68, 0xC7, 0x37}};
// Event of the virtio-serial driver's port-status custom event.
inline constexpr Guid kPortStatusEvent{0x2C0F39AC, 0xB156, 0x4237, {0x9C, 0x64, 0x89, 0x91, 0xA1, 0x8B, 0xF3, 0x5C}};
// COM interfaces the clipboard window answers for.
inline constexpr Guid kIidUnknown{0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr Guid kIidDataObject{0x0000010E, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr Guid kIidDataObjectAsyncCapability{
    0x3D8B0590, 0xF691, 0x11D2, {0x8E, 0xA9, 0x00, 0x60, 0x97, 0xDF, 0x5B, 0xD4}};
inline constexpr Guid kIidShellFolder{0x000214E6, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// WM_DEVICECHANGE wParam values and record types.
inline constexpr std::uintptr_t kDbtDeviceArrival = 0x8000;
inline constexpr std::uintptr_t kDbtDeviceQueryRemove = 0x8001;
inline constexpr std::uintptr_t kDbtDeviceRemoveComplete = 0x8004;
inline constexpr std::uintptr_t kDbtCustomEvent = 0x8006;
inline constexpr std::uint32_t kDbtDevtypDeviceInterface = 5;
inline constexpr std::uint32_t kDbtDevtypHandle = 6;

// DEV_BROADCAST_DEVICEINTERFACE_W (its name follows at offset 28).
struct DeviceInterfaceRecord {
    std::uint32_t size;
    std::uint32_t deviceType;
    std::uint32_t reserved;
    Guid classGuid;
    char16_t name[2];
};
static_assert(offsetof(DeviceInterfaceRecord, deviceType) == 4);
static_assert(offsetof(DeviceInterfaceRecord, classGuid) == 12);
static_assert(offsetof(DeviceInterfaceRecord, name) == 28);
static_assert(sizeof(DeviceInterfaceRecord) == 32);

// DEV_BROADCAST_HANDLE of a custom event; `data` is the event's data, whose second
// 32-bit word (offset 56) is the port status of the virtio-serial driver.
struct DeviceHandleRecord {
    std::uint32_t size;
    std::uint32_t deviceType;
    std::uint32_t reserved;
    std::uint32_t pad;
    std::uint64_t handle;
    std::uint64_t notify;
    Guid eventGuid;
    std::int32_t nameOffset;
    std::uint8_t data[12];
};
static_assert(offsetof(DeviceHandleRecord, handle) == 16);
static_assert(offsetof(DeviceHandleRecord, eventGuid) == 32);
static_assert(offsetof(DeviceHandleRecord, nameOffset) == 48);
static_assert(offsetof(DeviceHandleRecord, data) == 52);
inline constexpr std::size_t kDeviceHandleRecordSize = 56;  // dbch_size as registered
inline constexpr std::size_t kPortStatusOffset = 56;
// A port-status record holds the status word: it is at least this long.
inline constexpr std::size_t kPortStatusRecordMin = kPortStatusOffset + 4;

}  // namespace quor
