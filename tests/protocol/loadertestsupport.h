#pragma once

// A device with a scripted model behind one loader interface, and the loader
// the factory made for it: for tests of exact request sequences, run on the
// test's own thread.

#include "../usb/usbtestsupport.h"

#include "protocol/loaderrequest.h"
#include "protocol/usbloader.h"
#include "protocol/usbloaderfactory.h"

#include <QByteArray>
#include <QStringList>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <iterator>

#include <cstring>

template <typename Record> std::vector<uint8_t> recordBytes(const Record &record)
{
    const auto *begin = reinterpret_cast<const uint8_t *>(&record);
    return std::vector<uint8_t>(begin, begin + sizeof record);
}

inline UsbLoader::TDeviceInformation deviceRecord(
    const char *serial, uint8_t board, uint8_t subversion, uint8_t flags = 0x01)
{
    UsbLoader::TDeviceInformation record {};
    record.boardVersion = board;
    record.boardSubversion = subversion;
    std::memcpy(record.SN, serial, std::min(std::strlen(serial), sizeof record.SN));
    record.flags = flags;
    return record;
}

inline UsbLoader::TFirmwareInformation firmwareRecord(
    uint8_t version, uint8_t subversion, uint8_t bugfix, uint32_t build, const char *name, bool valid = true)
{
    UsbLoader::TFirmwareInformation record {};
    record.version = version;
    record.subversion = subversion;
    record.bugfix = bugfix;
    for (int i = 0; i < 4; ++i)
        record.build[i] = uint8_t(build >> (8 * i));
    std::memcpy(record.name, name, std::min(std::strlen(name), sizeof record.name));
    record.flags = valid ? 0x01 : 0x00;
    return record;
}

inline UsbLoader::TDeviceStatus statusRecord(uint8_t freeSlots)
{
    UsbLoader::TDeviceStatus record {};
    record.freeSlotsCount = freeSlots;
    return record;
}

// A scripted device that can say it is busy for a number of questions.
class LoaderScriptModel : public SimScriptedModel
{
public:
    std::atomic<int> busyAnswers {0};

    bool controlTransfer(const SimTarget &target, const UsbSetupPacket &setup, uint8_t *buffer,
        uint32_t length, uint32_t &transferred) override
    {
        const bool ok = SimScriptedModel::controlTransfer(target, setup, buffer, length, transferred);
        if (ok && setup.Request == requestCode(LoaderRequest::ReadBusy) && length == 1 && busyAnswers > 0) {
            --busyAnswers;
            buffer[0] = 1;
        }
        return ok;
    }
};

// Answers every record request of a healthy device in application mode.
inline std::shared_ptr<LoaderScriptModel> scriptedLoaderModel()
{
    auto model = std::make_shared<LoaderScriptModel>();
    model->setControlAnswer(requestCode(LoaderRequest::ReadDeviceStatus), recordBytes(statusRecord(5)));
    model->setControlAnswer(requestCode(LoaderRequest::ReadFirmwareInformation),
        recordBytes(firmwareRecord(1, 2, 3, 400, "master")));
    model->setControlAnswer(
        requestCode(LoaderRequest::ReadDeviceInformation), recordBytes(deviceRecord("ZOK1", 2, 0)));
    model->setControlAnswer(requestCode(LoaderRequest::ReadFlashingMode), {0});
    model->setControlAnswer(requestCode(LoaderRequest::ReadBusy), {0});
    return model;
}

inline SimDeviceProfile loaderDeviceProfile(std::shared_ptr<SimDeviceModel> model, uint8_t protocol = 2)
{
    SimDeviceProfile profile = deviceProfile(0x1209, 0x7A10, u"USB1");
    profile.interfaces[0] = vendorInterface(0, protocol);
    profile.model = std::move(model);
    return profile;
}

// The bRequest of every control transfer in the bus's log, OUT ones marked
// with a leading '>', e.g. "1 3 7 12 >13".
inline QStringList requestLog(const SimUsbBus &bus)
{
    QStringList requests;
    for (const SimCall &call : bus.calls()) {
        if (call.op != SimOp::ControlTransfer)
            continue;
        const bool out = !(call.setup.RequestType & UsbEndpointDirectionIn);
        requests << QString(out ? ">%1" : "%1").arg(call.setup.Request);
    }
    return requests;
}

// Milliseconds the device saw pass after the last write that control OUT
// request `request` began (with the bulk data that followed it) until the next
// call reached it, or until now when none followed; -1 without such a write.
inline qint64 pauseAfterWrite(const SimUsbBus &bus, uint8_t request)
{
    const std::vector<SimCall> calls = bus.calls();
    const auto write = std::find_if(calls.rbegin(), calls.rend(), [request](const SimCall &call) {
        return call.op == SimOp::ControlTransfer && call.setup.Request == request
            && !(call.setup.RequestType & UsbEndpointDirectionIn);
    });
    if (write == calls.rend())
        return -1;
    auto last = std::prev(write.base());
    auto next = std::next(last);
    while (next != calls.end() && next->op == SimOp::WritePipe)
        last = next++;
    const auto end = next == calls.end() ? std::chrono::steady_clock::now() : next->finished;
    return std::chrono::duration_cast<std::chrono::milliseconds>(end - last->finished).count();
}

// The loader of the only device on the bus, or null.
inline UsbLoader *onlyLoader(USBDriver &driver)
{
    const QList<USBDevice *> devices = driver.devices();
    if (devices.size() != 1)
        return nullptr;
    for (UsbInterfaceHandler *handler : devices.first()->interfaceHandlers()) {
        if (auto *loader = qobject_cast<UsbLoader *>(handler))
            return loader;
    }
    return nullptr;
}

inline FactoryList loaderFactories()
{
    return {QSharedPointer<usbLoaderFactory>::create()};
}
