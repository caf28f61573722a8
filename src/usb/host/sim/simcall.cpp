#include "usb/host/sim/simcall.h"

#include <sstream>

const char *simOpName(SimOp op)
{
    switch (op) {
    case SimOp::ListInterfacePaths:
        return "ListInterfacePaths";
    case SimOp::OpenFile:
        return "OpenFile";
    case SimOp::Initialize:
        return "Initialize";
    case SimOp::FreeInterface:
        return "FreeInterface";
    case SimOp::CloseFile:
        return "CloseFile";
    case SimOp::IsAttached:
        return "IsAttached";
    case SimOp::GetDescriptor:
        return "GetDescriptor";
    case SimOp::GetAssociatedInterface:
        return "GetAssociatedInterface";
    case SimOp::QueryInterfaceSettings:
        return "QueryInterfaceSettings";
    case SimOp::QueryPipe:
        return "QueryPipe";
    case SimOp::ControlTransfer:
        return "ControlTransfer";
    case SimOp::ReadPipe:
        return "ReadPipe";
    case SimOp::WritePipe:
        return "WritePipe";
    }
    return "?";
}

std::string describe(const SimCall &call)
{
    std::ostringstream text;
    text << simOpName(call.op) << "(h=" << call.handle;
    switch (call.op) {
    case SimOp::OpenFile:
        text << ", path=" << std::string(call.path.begin(), call.path.end());
        break;
    case SimOp::GetDescriptor:
        text << ", type=" << int(call.descriptorType) << ", index=" << int(call.index)
             << ", lang=" << call.languageId << ", len=" << call.length;
        break;
    case SimOp::GetAssociatedInterface:
        text << ", index=" << int(call.index);
        break;
    case SimOp::QueryInterfaceSettings:
        text << ", alt=" << int(call.alternateSetting);
        break;
    case SimOp::QueryPipe:
        text << ", alt=" << int(call.alternateSetting) << ", pipe=" << int(call.index);
        break;
    case SimOp::ControlTransfer:
        text << std::hex << ", setup=" << int(call.setup.RequestType) << "/" << int(call.setup.Request) << "/"
             << call.setup.Value << "/" << call.setup.Index << std::dec << ", len=" << call.length;
        break;
    case SimOp::ReadPipe:
    case SimOp::WritePipe:
        text << ", pipe=0x" << std::hex << int(call.pipeId) << std::dec << ", len=" << call.length;
        break;
    default:
        break;
    }
    text << ") -> " << (call.result ? "true" : "false") << ", " << call.transferred;
    if (call.newHandle)
        text << ", new=" << call.newHandle;
    return text.str();
}
