// The Vantor device as a USB gadget, for the tests in the virtual machine:
// a FunctionFS function with the device's vendor interface (class 0xFF,
// subclass 1, protocol 2 in its application mode, 1 in its flashing mode)
// and two bulk pipes, served by the simulated device's own core. When the
// core restarts, the gadget leaves the bus and enumerates again in the new
// mode, as the real device does. A few requests of the test harness sit
// beside the device's own: storing and reading back bytes, counting what
// arrives on the bulk-out pipe, and handing out numbered chunks on bulk-in.
//
// usage: usbvm-gadget UDC [2]
// Sets up the gadget in configfs (configfs mounted), mounts its FunctionFS,
// binds it to the device controller UDC and runs until killed. With 2 it is
// the second gadget, with a serial and configfs names of its own, for the
// tests with two devices at once. Linux only.

#include "protocol/sim/simulatorconfig.h"
#include "protocol/sim/vantordevice.h"
#include "usbvmrequests.h"

#include <linux/aio_abi.h>
#include <linux/usb/ch9.h>
#include <linux/usb/functionfs.h>

#include <endian.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
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

// One configuration with the one FunctionFS function, mounted where the gadget opens it.
void setUpGadget(const UsbvmGadgetPlace &place)
{
    const std::string &gadget = place.gadgetDir;
    makeDir(gadget);
    char id[8];
    std::snprintf(id, sizeof id, "0x%04x", usbvmVendorId);
    writeFile(gadget + "/idVendor", id);
    std::snprintf(id, sizeof id, "0x%04x", usbvmProductId);
    writeFile(gadget + "/idProduct", id);
    makeDir(gadget + "/strings/0x409");
    writeFile(gadget + "/strings/0x409/serialnumber", place.serial);
    writeFile(gadget + "/strings/0x409/manufacturer", "Vantor");
    writeFile(gadget + "/strings/0x409/product", "Vantor device (test gadget)");
    makeDir(gadget + "/configs/c.1");
    const std::string function = gadget + "/functions/ffs." + place.instance;
    makeDir(function);
    const std::string inConfiguration = gadget + "/configs/c.1/ffs." + place.instance;
    if (symlink(function.c_str(), inConfiguration.c_str()) != 0 && errno != EEXIST)
        fail("linking the function");
    makeDir(place.functionFsDir);
    if (mount(place.instance.c_str(), place.functionFsDir.c_str(), "functionfs", 0, nullptr) != 0)
        fail("mounting functionfs");
}

// The device core's way off and back onto the bus. The core calls it while
// it handles a request; the gadget acts once that request has been answered.
class GadgetLink : public VantorLink
{
public:
    void leave() override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_leaving = true;
        m_changed.notify_all();
    }

    void arrive(VantorMode mode) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_arriving = true;
        m_mode = mode;
        m_changed.notify_all();
    }

    bool leaving()
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_leaving;
    }

    // After leaving: waits until the core comes back and says in which mode.
    VantorMode awaitArrival()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_changed.wait(lock, [this] { return m_arriving; });
        m_leaving = false;
        m_arriving = false;
        return m_mode;
    }

private:
    std::mutex m_mutex; // guards the members below
    std::condition_variable m_changed;
    bool m_leaving = false;
    bool m_arriving = false;
    VantorMode m_mode = VantorMode::Application;
};

class Gadget
{
public:
    Gadget(std::string udc, UsbvmGadgetPlace place)
        : m_udc(std::move(udc))
        , m_place(std::move(place))
        , m_device(m_link, initialState(m_place.serial), behaviour())
    { }

    [[noreturn]] void run()
    {
        for (VantorMode mode = m_device.mode();;) {
            serve(mode == VantorMode::Flashing ? usbvmFlashingMode : usbvmApplicationMode);
            mode = m_link.awaitArrival();
        }
    }

private:
    static VantorDeviceState initialState(const std::string &serial)
    {
        SimulatorConfig config;
        config.serial = QByteArray::fromStdString(serial);
        return simulatorInitialState(config, config.serial);
    }

    static VantorDeviceBehaviour behaviour()
    {
        VantorDeviceBehaviour behaviour;
        behaviour.restartDelay = std::chrono::milliseconds(0);
        // Long enough that a flash sees the device busy a few times.
        behaviour.busyTime = std::chrono::milliseconds(300);
        return behaviour;
    }

    // One life of the device on the bus, in one mode; returns once the core has left.
    void serve(uint8_t protocol);
    void openFunction(uint8_t protocol);
    // Answers one request; each finishes its data or status stage before the next event is read.
    void answer(const usb_ctrlrequest &request);
    bool answerHarness(const UsbSetupPacket &setup);
    void stall(const UsbSetupPacket &setup);
    void sink();
    // Waits until the sink has handed everything that arrived to the device.
    void awaitSinkCaughtUp();
    void source();
    void stopPipeThreads(std::thread &sinkThread, std::thread &sourceThread);

    const std::string m_udc;
    const UsbvmGadgetPlace m_place;
    GadgetLink m_link;
    VantorDevice m_device;
    int m_ep0 = -1;
    int m_dataOut = -1;
    int m_dataIn = -1;
    std::atomic<bool> m_stopping {false};
    std::atomic<int> m_pipeThreadsRunning {0};
    std::atomic<uint32_t> m_bytesReceived {0};
    std::atomic<uint32_t> m_transfersReceived {0};
    std::atomic<uint32_t> m_receivedHash {usbvmHashStart};
    std::atomic<int> m_testChunks {0};
    std::atomic<pid_t> m_sinkThreadId {0};
    std::atomic<bool> m_sinkInRead {false};
    std::mutex m_deviceOrderMutex; // keeps requests and bulk data in the order the host sent them
    std::mutex m_storedMutex; // guards m_stored
    std::vector<uint8_t> m_stored;
    const int m_holdLog
        = open(m_place.holdLog.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
};

// Reads the bulk-out pipe keeps queued, each big enough for a batch.
constexpr int sinkQueueDepth = 32;
constexpr size_t sinkBufferSize = 4096;

void onSignal(int) { }

int64_t monotonicNs()
{
    timespec now {};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

void Gadget::openFunction(uint8_t protocol)
{
    m_ep0 = open((m_place.functionFsDir + "/ep0").c_str(), O_RDWR);
    if (m_ep0 < 0)
        fail("ep0");
    Descriptors descriptors {};
    descriptors.header.magic = htole32(FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
    descriptors.header.length = htole32(sizeof descriptors);
    descriptors.header.flags = htole32(FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
    descriptors.fsCount = htole32(3);
    descriptors.hsCount = htole32(3);
    descriptors.fullSpeed = pipeDescriptors(protocol, 64);
    descriptors.highSpeed = pipeDescriptors(protocol, 512);
    const usb_functionfs_strings_head strings
        = {htole32(FUNCTIONFS_STRINGS_MAGIC), htole32(sizeof(usb_functionfs_strings_head)), 0, 0};
    // Descriptors, then strings, both before the controller is bound.
    if (write(m_ep0, &descriptors, sizeof descriptors) < 0 || write(m_ep0, &strings, sizeof strings) < 0)
        fail("writing descriptors");
    m_dataOut = open((m_place.functionFsDir + "/ep1").c_str(), O_RDWR);
    m_dataIn = open((m_place.functionFsDir + "/ep2").c_str(), O_RDWR);
    if (m_dataOut < 0 || m_dataIn < 0)
        fail("endpoints");
}

void Gadget::serve(uint8_t protocol)
{
    openFunction(protocol);
    m_stopping = false;
    m_pipeThreadsRunning = 2;
    std::thread sinkThread([this] { sink(); });
    std::thread sourceThread([this] { source(); });
    writeFile(m_place.gadgetDir + "/UDC", m_udc);

    while (!m_link.leaving()) {
        usb_functionfs_event event;
        if (read(m_ep0, &event, sizeof event) != ssize_t(sizeof event)) {
            // EIDRM: the host gave up the request answered last, and a
            // newer event took its place; that event is still queued.
            if (errno == EINTR || errno == EIDRM)
                continue;
            fail("ep0 event");
        }
        if (event.type == FUNCTIONFS_SETUP)
            answer(event.u.setup);
    }

    // Like the real device: the answer first, then off the bus.
    usleep(20000);
    writeFile(m_place.gadgetDir + "/UDC", "\n");
    stopPipeThreads(sinkThread, sourceThread);
    close(m_dataOut);
    close(m_dataIn);
    close(m_ep0);
}

void Gadget::stopPipeThreads(std::thread &sinkThread, std::thread &sourceThread)
{
    m_stopping = true;
    // Blocked pipe calls wait for the function to come back; a signal ends
    // them, and is sent again until both threads have seen the stop.
    while (m_pipeThreadsRunning > 0) {
        pthread_kill(sinkThread.native_handle(), SIGUSR1);
        pthread_kill(sourceThread.native_handle(), SIGUSR1);
        usleep(5000);
    }
    sinkThread.join();
    sourceThread.join();
}

void Gadget::answer(const usb_ctrlrequest &request)
{
    const UsbSetupPacket setup {request.bRequestType, request.bRequest, le16toh(request.wValue),
        le16toh(request.wIndex), le16toh(request.wLength)};
    if ((setup.RequestType & USB_TYPE_MASK) != USB_TYPE_VENDOR) {
        stall(setup);
        return;
    }
    const int64_t heldFrom = monotonicNs();
    awaitSinkCaughtUp();
    if (m_holdLog >= 0)
        (void)!dprintf(m_holdLog, "%lld %lld\n", (long long)heldFrom, (long long)monotonicNs());
    if (std::getenv("USBVM_GADGET_LOG"))
        std::fprintf(stderr, "usbvm-gadget: request %02x %u value %u length %u (bulk-out so far %u)\n",
            setup.RequestType, setup.Request, setup.Value, setup.Length, m_bytesReceived.load());
    if (answerHarness(setup))
        return;
    std::vector<uint8_t> data(setup.Length);
    uint32_t transferred = 0;
    // The host's next bulk data may arrive the moment this request's status
    // stage ends; it must reach the device after the request does.
    std::lock_guard<std::mutex> order(m_deviceOrderMutex);
    if (setup.RequestType & USB_DIR_IN) {
        const bool answered = m_device.controlRequest(setup, data.data(), setup.Length, transferred);
        if (std::getenv("USBVM_GADGET_LOG")) {
            std::fprintf(stderr, "usbvm-gadget:   answer");
            for (uint32_t i = 0; answered && i < transferred; ++i)
                std::fprintf(stderr, " %02x", data[i]);
            std::fprintf(stderr, answered ? "\n" : " stall\n");
        }
        if (answered)
            (void)!write(m_ep0, data.data(), transferred);
        else
            stall(setup);
        return;
    }
    if (setup.Length == 0) {
        if (m_device.controlRequest(setup, nullptr, 0, transferred))
            (void)!read(m_ep0, nullptr, 0);
        else
            stall(setup);
        return;
    }
    // The data stage ends with its status stage, so a request with data that
    // the device refuses can no longer be stalled; the device keeps nothing of it.
    if (read(m_ep0, data.data(), setup.Length) == ssize_t(setup.Length))
        m_device.controlRequest(setup, data.data(), setup.Length, transferred);
}

bool Gadget::answerHarness(const UsbSetupPacket &setup)
{
    const bool in = setup.RequestType & USB_DIR_IN;
    switch (setup.Request) {
    case UsbvmStoreBytes:
        if (!in) {
            std::vector<uint8_t> data(setup.Length);
            if (read(m_ep0, data.data(), data.size()) == ssize_t(data.size())) {
                std::lock_guard<std::mutex> lock(m_storedMutex);
                m_stored = data;
            }
            return true;
        }
        break;
    case UsbvmReadBytes:
        if (in) {
            std::lock_guard<std::mutex> lock(m_storedMutex);
            (void)!write(m_ep0, m_stored.data(), std::min<std::size_t>(m_stored.size(), setup.Length));
            return true;
        }
        break;
    case UsbvmReadCounters:
        if (in && setup.Length >= 8) {
            const uint32_t counters[3] = {htole32(m_bytesReceived.load()),
                htole32(m_transfersReceived.load()), htole32(m_receivedHash.load())};
            (void)!write(m_ep0, counters, setup.Length >= sizeof counters ? sizeof counters : 8);
            return true;
        }
        break;
    case UsbvmResetCounters:
    case UsbvmSendTestChunks:
        if (!in && setup.Length == 0) {
            // Done before the status stage: the host sends its next data as soon as that ends.
            m_bytesReceived = 0;
            m_transfersReceived = 0;
            m_receivedHash = usbvmHashStart;
            if (setup.Request == UsbvmSendTestChunks)
                m_testChunks = setup.Value;
            (void)!read(m_ep0, nullptr, 0);
            return true;
        }
        break;
    case UsbvmSetRestartDelay:
        if (!in && setup.Length == 0) {
            m_device.setRestartDelay(std::chrono::milliseconds(setup.Value));
            (void)!read(m_ep0, nullptr, 0);
            return true;
        }
        break;
    default:
        return false;
    }
    stall(setup);
    return true;
}

void Gadget::stall(const UsbSetupPacket &setup)
{
    // The transfer's wrong direction halts it.
    if (setup.RequestType & USB_DIR_IN)
        (void)!read(m_ep0, nullptr, 0);
    else
        (void)!write(m_ep0, nullptr, 0);
}

// Bulk-out: to the device core, and counted. Like a real device's
// controller with buffers posted, several reads stay queued (the kernel's
// asynchronous I/O), so a host with transfers in flight is not held up
// while this thread is scheduled. They end in the order they were queued
// and reach the core in that order. An error means the bus went away or
// the pipe is being torn down; queue again unless stopping.
void Gadget::sink()
{
    m_sinkThreadId = pid_t(syscall(SYS_gettid));
    aio_context_t context = 0;
    if (syscall(SYS_io_setup, sinkQueueDepth, &context) < 0)
        fail("io_setup");
    std::vector<std::vector<uint8_t>> buffers(sinkQueueDepth, std::vector<uint8_t>(sinkBufferSize));
    std::vector<iocb> requests(sinkQueueDepth);
    std::vector<long long> results(sinkQueueDepth);
    std::vector<bool> ended(sinkQueueDepth, false);
    int oldest = 0;
    int queued = 0;
    const auto queue = [&](int slot) {
        requests[slot] = iocb {};
        requests[slot].aio_data = uint64_t(slot);
        requests[slot].aio_lio_opcode = IOCB_CMD_PREAD;
        requests[slot].aio_fildes = uint32_t(m_dataOut);
        requests[slot].aio_buf = uint64_t(uintptr_t(buffers[slot].data()));
        requests[slot].aio_nbytes = buffers[slot].size();
        iocb *list[1] = {&requests[slot]};
        return syscall(SYS_io_submit, context, 1, list) == 1;
    };
    while (!m_stopping) {
        while (queued < sinkQueueDepth && !m_stopping && queue((oldest + queued) % sinkQueueDepth))
            ++queued;
        if (queued == 0) {
            usleep(10000);
            continue;
        }
        io_event events[sinkQueueDepth];
        m_sinkInRead = true;
        const long count = syscall(SYS_io_getevents, context, 1, sinkQueueDepth, events, nullptr);
        m_sinkInRead = false;
        for (long i = 0; i < count; ++i) {
            results[size_t(events[i].data)] = events[i].res;
            ended[size_t(events[i].data)] = true;
        }
        for (; queued > 0 && ended[oldest]; oldest = (oldest + 1) % sinkQueueDepth, --queued) {
            ended[oldest] = false;
            if (results[oldest] < 0)
                continue;
            const uint32_t got = uint32_t(results[oldest]);
            m_bytesReceived += got;
            ++m_transfersReceived;
            m_receivedHash = usbvmHash(buffers[oldest].data(), got, m_receivedHash);
            uint32_t taken = 0;
            std::lock_guard<std::mutex> order(m_deviceOrderMutex);
            m_device.bulkOut(buffers[oldest].data(), got, taken);
        }
    }
    // Ends what is still queued.
    syscall(SYS_io_destroy, context);
    --m_pipeThreadsRunning;
}

// A host's bulk write is complete as soon as the controller has the data;
// the host's next request can reach ep0 before the sink has run. A real
// device's firmware takes the data first, so requests wait here until the
// sink has taken everything that arrived. An ended read reaches the sink
// through the kernel's completion work queue, a moment after the host saw
// its transfer end, so one look at a sleeping sink is not enough: it must
// be found asleep twice, a millisecond apart, with nothing new taken in
// between. On a one-CPU machine the completion work, runnable since the
// transfer ended, runs while this thread sleeps. With more CPUs it runs
// beside this thread, and an emulated CPU can stand still for a while, so
// the sink must stay asleep with nothing new for a longer spell.
void Gadget::awaitSinkCaughtUp()
{
    static const int quietLooks = sysconf(_SC_NPROCESSORS_ONLN) > 1 ? 20 : 2;
    const std::string stat = "/proc/self/task/" + std::to_string(m_sinkThreadId.load()) + "/stat";
    const auto sinkAsleep = [&] {
        if (!m_sinkInRead)
            return false;
        char text[256] = {};
        const int fd = open(stat.c_str(), O_RDONLY);
        const ssize_t size = fd < 0 ? -1 : read(fd, text, sizeof text - 1);
        if (fd >= 0)
            close(fd);
        const char *state = size > 0 ? std::strrchr(text, ')') : nullptr;
        return !state || (state[1] == ' ' && state[2] == 'S');
    };
    int asleepLooks = 0;
    uint32_t taken = m_transfersReceived;
    for (int tries = 0; tries < 1000; ++tries) {
        asleepLooks = sinkAsleep() && m_transfersReceived == taken ? asleepLooks + 1 : 0;
        if (asleepLooks >= quietLooks)
            return;
        taken = m_transfersReceived;
        usleep(1000);
    }
}

// Bulk-in: numbered chunks while the harness asked for them (byte i of chunk
// n is (n + i) mod 256), else whatever block the device core has prepared.
void Gadget::source()
{
    std::vector<uint8_t> block(VantorDevice::userSettingsCapacity + 64);
    for (uint32_t chunk = 0; !m_stopping;) {
        uint32_t size = 0;
        if (m_testChunks > 0) {
            size = 64;
            for (uint32_t i = 0; i < size; ++i)
                block[i] = uint8_t(chunk + i);
        } else if (!m_device.bulkIn(block.data(), uint32_t(block.size()), size) || size == 0) {
            usleep(5000);
            continue;
        }
        if (write(m_dataIn, block.data(), size) == ssize_t(size)) {
            if (m_testChunks > 0) {
                --m_testChunks;
                ++chunk;
            }
        } else {
            usleep(10000);
        }
    }
    --m_pipeThreadsRunning;
}

} // namespace

int main(int argc, char **argv)
{
    const int gadget = argc == 3 ? std::atoi(argv[2]) : 1;
    if ((argc != 2 && argc != 3) || (gadget != 1 && gadget != 2)) {
        std::fprintf(stderr, "usage: usbvm-gadget UDC [2]\n");
        return 2;
    }
    struct sigaction action
    {
    };
    action.sa_handler = onSignal; // no SA_RESTART: blocked calls return EINTR
    sigaction(SIGUSR1, &action, nullptr);
    const UsbvmGadgetPlace place = usbvmGadgetPlace(gadget);
    setUpGadget(place);
    Gadget(argv[1], place).run();
}
