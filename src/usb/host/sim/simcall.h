#pragma once

// One entry of the simulated bus's call log: which host operation was
// called, with which arguments, and what it answered. Free of Qt.

#include "usb/host/usbdescriptors.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

enum class SimOp {
    ListInterfacePaths,
    OpenFile,
    Initialize,
    FreeInterface,
    CloseFile,
    IsAttached,
    GetDescriptor,
    GetAssociatedInterface,
    QueryInterfaceSettings,
    QueryPipe,
    ControlTransfer,
    ReadPipe,
    WritePipe,
};

const char *simOpName(SimOp op);

struct SimCall
{
    SimOp op = SimOp::ListInterfacePaths;
    // The plugged device the call reached, or -1 (unknown path or handle).
    int device = -1;
    // The file or interface handle the call was made on (0 for none).
    std::uintptr_t handle = 0;
    std::u16string path; // OpenFile
    uint8_t descriptorType = 0; // GetDescriptor
    uint8_t index = 0; // descriptor index, associated index, pipe index
    uint16_t languageId = 0; // GetDescriptor
    uint8_t alternateSetting = 0; // QueryInterfaceSettings, QueryPipe
    uint8_t pipeId = 0; // ReadPipe, WritePipe
    UsbSetupPacket setup {}; // ControlTransfer
    uint32_t length = 0; // buffer length asked for
    std::vector<uint8_t> data; // bytes that reached the device (OUT transfers)
    bool result = false;
    uint32_t transferred = 0;
    std::uintptr_t newHandle = 0; // handle handed out (OpenFile, Initialize, GetAssociatedInterface)
    // When the call had finished, so that a test can see the pauses between
    // requests as the device sees them.
    std::chrono::steady_clock::time_point finished {};
};

// One line for test messages, e.g. "GetDescriptor(h=5, type=1, index=0, lang=0, len=18) -> true, 18".
std::string describe(const SimCall &call);
