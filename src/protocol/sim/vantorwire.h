#pragma once

// What the Vantor device puts on and takes off the wire, as its firmware
// defines it: the vendor request codes, the records it sends and accepts,
// and the header its firmware images carry. Kept apart from the host's own
// definitions on purpose, so a misreading on either side shows up in tests.
// Free of Qt; no threads.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr uint16_t vantorVendorId = 0x1209;
constexpr uint16_t vantorProductId = 0x7A10;
constexpr uint8_t vantorInterfaceNumber = 0;
constexpr uint8_t vantorInterfaceClass = 0xFF;
constexpr uint8_t vantorInterfaceSubClass = 1;
constexpr uint8_t vantorFlashingProtocol = 1;
constexpr uint8_t vantorApplicationProtocol = 2;
constexpr uint8_t vantorDataOutPipe = 0x01;
constexpr uint8_t vantorDataInPipe = 0x81;
constexpr uint16_t vantorPipePacketSize = 512;

// bmRequestType of the device's requests: vendor, recipient interface.
constexpr uint8_t vantorRequestTypeIn = 0xC1;
constexpr uint8_t vantorRequestTypeOut = 0x41;

constexpr int vantorUserSettingsSlots = 4;
constexpr std::size_t vantorKeyBlockSize = 64; // two AES-256 keys

enum class VantorRequest : uint8_t {
    ReadDeviceStatus = 1,
    WriteImageInfo = 2,
    ReadFirmwareInformation = 3,
    WriteFactoryConfigurationSize = 4,
    ReadFactoryConfiguration = 5,
    WriteDeviceInformation = 6,
    ReadDeviceInformation = 7,
    StartApplication = 8,
    RestartDevice = 9,
    EnableJtagProtection = 10,
    WriteAes256Keys = 11,
    ReadFlashingMode = 12,
    EnterFlashingMode = 13,
    ReadUserSettings = 14,
    WriteUserSettings = 15,
    EraseUserSettings = 16,
    ReadBusy = 17,
};

enum class VantorMode { Application, Flashing };

// Multi-byte fields are kept as the bytes on the wire; these two are the
// only place that converts.
inline uint32_t vantorLoad32(const uint8_t *bytes)
{
    return uint32_t(bytes[0]) | uint32_t(bytes[1]) << 8 | uint32_t(bytes[2]) << 16 | uint32_t(bytes[3]) << 24;
}

inline void vantorStore32(uint8_t *bytes, uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[i] = uint8_t(value >> (8 * i));
}

#pragma pack(push, 1)
// Request 1. Byte 8 is what hosts rely on; the others describe the device
// for people reading a capture.
struct VantorDeviceStatus
{
    uint8_t recordVersion; // 1
    uint8_t flashingMode; // 1 in flashing mode
    uint8_t busy;
    uint8_t firmwareValid;
    uint8_t keysStored;
    uint8_t reserved1[3];
    uint8_t freeSlotsCount;
    uint8_t reserved2[3];
};

// Requests 3 (read) and, as the image header's result, 2.
struct VantorFirmwareInformation
{
    uint8_t version;
    uint8_t subversion;
    uint8_t bugfix;
    uint8_t build[4];
    uint8_t name[16]; // ends at the first NUL or after 16 bytes
    uint8_t flags; // bit 0: valid
};

// Requests 6 (write) and 7 (read).
struct VantorDeviceInformation
{
    uint8_t boardVersion;
    uint8_t boardSubversion;
    uint8_t serialNumber[16]; // UTF-8, ends at the first NUL or after 16 bytes
    uint8_t flags; // bit 0 valid, bits 1-2 hardware type, bit 3 JTAG protected
};

// Request 2: announces the image that follows on the data-out pipe.
struct VantorImageInformation
{
    uint8_t dataSize[4];
    uint8_t deviceWord[4];
    uint8_t deviceBlock[16];
};

// The head of an image that tells the device which firmware it carries.
struct VantorImageHeader
{
    uint8_t magic[4]; // "TVIM"
    uint8_t version;
    uint8_t subversion;
    uint8_t bugfix;
    uint8_t build[4];
    uint8_t name[16];
};
#pragma pack(pop)

static_assert(sizeof(VantorDeviceStatus) == 12, "status record is 12 bytes");
static_assert(offsetof(VantorDeviceStatus, freeSlotsCount) == 8, "free slots at 8");
static_assert(sizeof(VantorFirmwareInformation) == 24, "firmware information is 24 bytes");
static_assert(offsetof(VantorFirmwareInformation, build) == 3, "build at 3");
static_assert(offsetof(VantorFirmwareInformation, name) == 7, "name at 7");
static_assert(offsetof(VantorFirmwareInformation, flags) == 23, "flags at 23");
static_assert(sizeof(VantorDeviceInformation) == 19, "device information is 19 bytes");
static_assert(offsetof(VantorDeviceInformation, serialNumber) == 2, "serial at 2");
static_assert(offsetof(VantorDeviceInformation, flags) == 18, "flags at 18");
static_assert(sizeof(VantorImageInformation) == 24, "image information is 24 bytes");
static_assert(offsetof(VantorImageInformation, deviceWord) == 4, "device word at 4");
static_assert(offsetof(VantorImageInformation, deviceBlock) == 8, "device block at 8");
static_assert(sizeof(VantorImageHeader) == 27, "image header is 27 bytes");
static_assert(offsetof(VantorImageHeader, build) == 7, "image build at 7");
static_assert(offsetof(VantorImageHeader, name) == 11, "image name at 11");

constexpr uint8_t vantorFirmwareValid = 0x01;
constexpr uint8_t vantorIdentityValid = 0x01;
constexpr uint8_t vantorHwTypeMask = 0x06;
constexpr int vantorHwTypeShift = 1;
constexpr uint8_t vantorJtagProtected = 0x08;

// A record's bytes, for storing and comparing.
template <typename Record> std::vector<uint8_t> vantorBytes(const Record &record)
{
    const auto *begin = reinterpret_cast<const uint8_t *>(&record);
    return std::vector<uint8_t>(begin, begin + sizeof record);
}

// A 16-byte text field: the text's first 16 bytes, NUL-padded.
void vantorSetText(uint8_t (&field)[16], const std::string &text);
// A 16-byte text field up to its first NUL.
std::string vantorText(const uint8_t (&field)[16]);

VantorFirmwareInformation vantorFirmwareInformation(
    uint8_t version, uint8_t subversion, uint8_t bugfix, uint32_t build, const std::string &name, bool valid);

// What a device reports after taking image as a whole: the version its
// header names, or 0.0.0 build 0 with no name for an image without one;
// valid either way.
VantorFirmwareInformation vantorFirmwareOfImage(const std::vector<uint8_t> &image);

// An image that names its firmware: the header, then filler bytes up to
// size (never less than the header).
std::vector<uint8_t> vantorImagePayload(uint8_t version, uint8_t subversion, uint8_t bugfix, uint32_t build,
    const std::string &name, std::size_t size = sizeof(VantorImageHeader));
