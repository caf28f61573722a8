// A USB device for the tests in the virtual machine: a FunctionFS function
// with one vendor interface (class 0xFF, subclass 1, protocol 2 in its
// application mode, 1 in its flashing mode), a bulk-out pipe that swallows
// and counts data, and a bulk-in pipe that hands out numbered 64-byte chunks.
// Its test requests on the default pipe let the tests store and read back
// bytes, read the counters, and make the device restart in its other mode
// (it leaves the bus and enumerates again, as the real device does).
//
// usage: usbvm-gadget UDC
// Sets up the gadget in configfs (configfs mounted), mounts its FunctionFS,
// binds it to the device controller UDC and runs until killed. Linux only; no Qt.

#include "usbvmrequests.h"

#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>

#include <endian.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

#pragma pack(push, 1)
struct PipeDescriptors
{
    usb_interface_descriptor vendorInterface;
    usb_endpoint_descriptor_no_audio dataOut;
    usb_endpoint_descriptor_no_audio dataIn;
};
struct Descriptors
{
    usb_functionfs_descs_head_v2 header;
    __le32 fsCount;
    __le32 hsCount;
    PipeDescriptors fullSpeed;
    PipeDescriptors highSpeed;
};
struct Strings
{
    usb_functionfs_strings_head header;
};
#pragma pack(pop)

PipeDescriptors pipeDescriptors(uint8_t protocol, uint16_t maxPacket)
{
    PipeDescriptors d {};
    d.vendorInterface = {USB_DT_INTERFACE_SIZE, USB_DT_INTERFACE, 0, 0, 2, 0xFF, 1, protocol, 0};
    // The kernel may give the pipes other numbers; the host reads them from the descriptors.
    d.dataOut = {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, 0x01, USB_ENDPOINT_XFER_BULK, htole16(maxPacket), 0};
    d.dataIn = {USB_DT_ENDPOINT_SIZE, USB_DT_ENDPOINT, 0x82, USB_ENDPOINT_XFER_BULK, htole16(maxPacket), 0};
    return d;
}

std::atomic<bool> stopping {false};
std::atomic<int> pipeThreadsRunning {0};
std::atomic<uint32_t> bytesReceived {0};
std::atomic<uint32_t> transfersReceived {0};
std::mutex storedMutex; // guards stored
std::vector<uint8_t> stored;

void fail(const char *what)
{
    std::fprintf(stderr, "usbvm-gadget: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

void writeFile(const std::string &path, const std::string &text)
{
    const int fd = open(path.c_str(), O_WRONLY);
    if (fd < 0 || write(fd, text.data(), text.size()) != ssize_t(text.size()))
        fail(path.c_str());
    close(fd);
}

void makeDir(const std::string &path)
{
    if (mkdir(path.c_str(), 0755) != 0 && errno != EEXIST)
        fail(path.c_str());
}

// One configuration with the one FunctionFS function, mounted where serve() opens it.
void setUpGadget()
{
    const std::string gadget = usbvmGadgetDir;
    makeDir(gadget);
    char id[8];
    std::snprintf(id, sizeof id, "0x%04x", usbvmVendorId);
    writeFile(gadget + "/idVendor", id);
    std::snprintf(id, sizeof id, "0x%04x", usbvmProductId);
    writeFile(gadget + "/idProduct", id);
    makeDir(gadget + "/strings/0x409");
    writeFile(gadget + "/strings/0x409/serialnumber", usbvmSerialNumber);
    writeFile(gadget + "/strings/0x409/manufacturer", "Vantor");
    writeFile(gadget + "/strings/0x409/product", "Vantor test device");
    makeDir(gadget + "/configs/c.1");
    makeDir(gadget + "/functions/ffs.vantor");
    if (symlink((gadget + "/functions/ffs.vantor").c_str(), (gadget + "/configs/c.1/ffs.vantor").c_str()) != 0
        && errno != EEXIST)
        fail("linking the function");
    makeDir(usbvmFunctionFsDir);
    if (mount("vantor", usbvmFunctionFsDir, "functionfs", 0, nullptr) != 0)
        fail("mounting functionfs");
}

// Bulk-out: swallow and count. An error means the bus went away or the pipe
// is being torn down; try again unless stopping.
void sink(int fd)
{
    std::vector<uint8_t> buffer(64 * 1024);
    while (!stopping) {
        const ssize_t got = read(fd, buffer.data(), buffer.size());
        if (got < 0) {
            usleep(10000);
            continue;
        }
        bytesReceived += uint32_t(got);
        ++transfersReceived;
    }
    --pipeThreadsRunning;
}

// Bulk-in: numbered chunks, byte i of chunk n is (n + i) mod 256.
void source(int fd)
{
    uint8_t chunk[64];
    for (uint32_t n = 0; !stopping;) {
        for (std::size_t i = 0; i < sizeof chunk; ++i)
            chunk[i] = uint8_t(n + i);
        if (write(fd, chunk, sizeof chunk) == ssize_t(sizeof chunk))
            ++n;
        else
            usleep(10000);
    }
    --pipeThreadsRunning;
}

void stall(int ep0, const usb_ctrlrequest &setup)
{
    // The transfer's wrong direction halts it.
    if (setup.bRequestType & USB_DIR_IN)
        (void)!read(ep0, nullptr, 0);
    else
        (void)!write(ep0, nullptr, 0);
}

// Answers one request; true when the device is to restart in its other mode.
bool answer(int ep0, const usb_ctrlrequest &setup)
{
    const uint16_t length = le16toh(setup.wLength);
    const bool vendor = (setup.bRequestType & USB_TYPE_MASK) == USB_TYPE_VENDOR;
    if (!vendor) {
        stall(ep0, setup);
        return false;
    }
    std::vector<uint8_t> data(length);
    switch (setup.bRequest) {
    case UsbvmStoreBytes:
        if (!(setup.bRequestType & USB_DIR_IN) && read(ep0, data.data(), length) == ssize_t(length)) {
            std::lock_guard<std::mutex> lock(storedMutex);
            stored = data;
            return false;
        }
        break;
    case UsbvmReadBytes:
        if (setup.bRequestType & USB_DIR_IN) {
            std::lock_guard<std::mutex> lock(storedMutex);
            (void)!write(ep0, stored.data(), std::min<std::size_t>(stored.size(), length));
            return false;
        }
        break;
    case UsbvmReadCounters:
        if ((setup.bRequestType & USB_DIR_IN) && length >= 8) {
            const uint32_t counters[2] = {htole32(bytesReceived.load()), htole32(transfersReceived.load())};
            (void)!write(ep0, counters, sizeof counters);
            return false;
        }
        break;
    case UsbvmResetCounters:
    case UsbvmRestartInOtherMode:
        if (!(setup.bRequestType & USB_DIR_IN) && length == 0) {
            (void)!read(ep0, nullptr, 0);
            bytesReceived = 0;
            transfersReceived = 0;
            return setup.bRequest == UsbvmRestartInOtherMode;
        }
        break;
    default:
        break;
    }
    stall(ep0, setup);
    return false;
}

void onSignal(int) { }

// One life of the device on the bus, in one mode; returns when told to restart.
void serve(const std::string &udc, uint8_t protocol)
{
    const std::string ffs = usbvmFunctionFsDir;
    const std::string gadget = usbvmGadgetDir;
    const int ep0 = open((ffs + "/ep0").c_str(), O_RDWR);
    if (ep0 < 0)
        fail("ep0");
    Descriptors descriptors {};
    descriptors.header.magic = htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    descriptors.header.length = htole32(sizeof descriptors);
    descriptors.header.flags = htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    descriptors.fsCount = htole32(3);
    descriptors.hsCount = htole32(3);
    descriptors.fullSpeed = pipeDescriptors(protocol, 64);
    descriptors.highSpeed = pipeDescriptors(protocol, 512);
    Strings strings {};
    strings.header = {htole32(FUNCTIONFS_STRINGS_MAGIC), htole32(sizeof strings), 0, 0};
    // Descriptors, then strings, both before the controller is bound.
    if (write(ep0, &descriptors, sizeof descriptors) < 0 || write(ep0, &strings, sizeof strings) < 0)
        fail("writing descriptors");
    const int dataOut = open((ffs + "/ep1").c_str(), O_RDWR);
    const int dataIn = open((ffs + "/ep2").c_str(), O_RDWR);
    if (dataOut < 0 || dataIn < 0)
        fail("endpoints");
    stopping = false;
    pipeThreadsRunning = 2;
    std::thread sinkThread(sink, dataOut);
    std::thread sourceThread(source, dataIn);
    writeFile(gadget + "/UDC", udc);

    for (bool restart = false; !restart;) {
        usb_functionfs_event event;
        // Each request finishes its data or status stage before the next event is read.
        if (read(ep0, &event, sizeof event) != ssize_t(sizeof event)) {
            if (errno == EINTR)
                continue;
            fail("ep0 event");
        }
        if (event.type == FUNCTIONFS_SETUP)
            restart = answer(ep0, event.u.setup);
    }

    // Like the real device, answer first, then leave the bus.
    usleep(20000);
    writeFile(gadget + "/UDC", "\n");
    stopping = true;
    // Blocked pipe calls wait for the function to come back; a signal ends
    // them, and is sent again until both threads have seen the stop.
    while (pipeThreadsRunning > 0) {
        pthread_kill(sinkThread.native_handle(), SIGUSR1);
        pthread_kill(sourceThread.native_handle(), SIGUSR1);
        usleep(5000);
    }
    sinkThread.join();
    sourceThread.join();
    close(dataOut);
    close(dataIn);
    close(ep0);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: usbvm-gadget UDC\n");
        return 2;
    }
    setUpGadget();
    struct sigaction action
    {
    };
    action.sa_handler = onSignal; // no SA_RESTART: blocked calls return EINTR
    sigaction(SIGUSR1, &action, nullptr);
    for (uint8_t protocol = usbvmApplicationMode;;) {
        serve(argv[1], protocol);
        protocol = protocol == usbvmApplicationMode ? usbvmFlashingMode : usbvmApplicationMode;
    }
}
