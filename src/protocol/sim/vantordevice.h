#pragma once

// The Vantor device as its firmware behaves: it answers the vendor requests
// of its loader interface from its own state, takes images, configuration
// and settings on its data-out pipe, hands prepared blocks out on its
// data-in pipe, stays busy while it writes its flash, and leaves and rejoins
// the bus through its link when it restarts. Knobs for tests: faults, and
// accessors for everything it holds. Free of Qt, so the same core can serve
// a simulated bus or a real USB gadget.
//
// Threads: every public operation may be called from any thread. The state
// listener runs with the device's lock held; the link is called without it,
// one call at a time, in the order the device leaves and arrives.

#include "protocol/sim/vantorlink.h"
#include "protocol/sim/vantorreturntimer.h"
#include "protocol/sim/vantorwire.h"
#include "usb/host/usbdescriptors.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

// What the device keeps in its flash: it survives restarts and, through a
// state file, runs of the program.
struct VantorDeviceState
{
    VantorDeviceInformation identity {};
    VantorFirmwareInformation firmware {};
    uint8_t freeSlots = 4; // identity and key writes left
    std::vector<std::vector<uint8_t>> keys; // each key write's 64 bytes, oldest first
    bool imageAnnounced = false;
    VantorImageInformation imageInformation {}; // the last announcement
    std::vector<uint8_t> image; // as far as it has arrived
    std::vector<uint8_t> factoryConfiguration;
    std::array<std::vector<uint8_t>, vantorUserSettingsSlots> userSettings;
};

// How the device behaves, as opposed to what it holds.
struct VantorDeviceBehaviour
{
    // The mode it starts in when its firmware is valid; without valid
    // firmware it always starts in flashing mode.
    VantorMode powerOnMode = VantorMode::Application;
    // How long it stays off the bus when it restarts; none: it never returns.
    std::optional<std::chrono::milliseconds> restartDelay = std::chrono::milliseconds(0);
    // How long it reports busy after finishing a write to its flash.
    std::chrono::milliseconds busyTime {0};
};

// A misbehaviour armed on the device.
struct VantorFault
{
    enum class Action {
        FailRequest, // requests with the code stall
        AnswerShort, // requests with the code move at most `bytes` data bytes and do nothing else
        LeaveOnRequest, // the device drops off the bus when a request with the code arrives
        FailBulkWrite, // a bulk write fails and stores nothing
        LeaveAtBulkWrite, // the device drops off the bus at a bulk write
    };

    Action action = Action::FailRequest;
    uint8_t request = 0; // request faults only
    int nth = 1; // the nth matching event from now on is the first one hit
    int count = 1; // events hit in a row from there; negative: all later ones
    uint32_t bytes = 0; // AnswerShort
};

struct VantorRequestRecord
{
    UsbSetupPacket setup;
    bool accepted;
};

class VantorDevice
{
public:
    // Largest blocks the device's flash takes; larger announcements stall.
    static constexpr uint32_t imageCapacity = 32u << 20;
    static constexpr uint32_t factoryConfigurationCapacity = 1u << 20;
    static constexpr uint32_t userSettingsCapacity = 1u << 20;

    // The device starts on the bus (the caller puts it there) in its
    // power-on mode. The link must outlive the device.
    VantorDevice(VantorLink &link, VantorDeviceState state, VantorDeviceBehaviour behaviour);
    VantorDevice(const VantorDevice &) = delete;
    VantorDevice &operator=(const VantorDevice &) = delete;
    // Cancels a pending return to the bus.
    ~VantorDevice();

    // A vendor request to the loader interface: an IN request writes at most
    // length bytes to buffer, an OUT request finds its data there. False
    // stalls the request; transferred is the data bytes moved.
    bool controlRequest(const UsbSetupPacket &setup, uint8_t *buffer, uint32_t length, uint32_t &transferred);
    // Bytes on the data-out pipe for the block last announced.
    bool bulkOut(const uint8_t *data, uint32_t length, uint32_t &transferred);
    // One read of the block last prepared on the data-in pipe; the rest of
    // a block larger than length is dropped.
    bool bulkIn(uint8_t *buffer, uint32_t length, uint32_t &transferred);

    // The device comes back as after power-on, for one that left the bus
    // for good (a restart that never returns, a leaving fault). A restart
    // under way is cut short: it neither leaves nor comes back afterwards.
    void powerOn();

    void injectFault(const VantorFault &fault);
    void clearFaults();
    // The device reports busy, and finishes nothing, until told otherwise.
    void setBusyForever(bool busyForever);
    // How long the device stays off the bus at its later restarts, instead
    // of its behaviour's delay; none: it never returns.
    void setRestartDelay(std::optional<std::chrono::milliseconds> delay);

    // Called after every change to what the device keeps, with its lock
    // held; it must not call back into the device.
    void setStateListener(std::function<void(const VantorDeviceState &)> listener);

    VantorDeviceState state() const;
    VantorMode mode() const;
    bool isOnBus() const;
    bool isBusy() const;
    // From the moment a restart takes the device off the bus until it is
    // back, including the instant between leaving and the return being timed.
    bool isReturnPending() const;
    int restarts() const;
    // The most recent control requests, oldest first (at most 10000).
    std::vector<VantorRequestRecord> requests() const;
    void clearRequests();

private:
    using Clock = std::chrono::steady_clock;

    struct ArmedFault
    {
        VantorFault fault;
        int seen;
    };
    enum class Target { None, Image, FactoryConfiguration, UserSettings };
    // The block announced for the data-out pipe and how much of it arrived.
    struct Incoming
    {
        Target target = Target::None;
        int slot = 0;
        uint32_t expected = 0;
        uint32_t received = 0;
    };
    // What a request asks of the bus once the lock is released.
    struct Departure
    {
        bool leave = false;
        bool returns = false;
        VantorMode mode = VantorMode::Application;
        std::chrono::milliseconds delay {0};
        uint64_t powerOns = 0; // decided after this many power-ons; a later one voids it
    };

    bool handleLocked(const UsbSetupPacket &setup, uint8_t *buffer, uint32_t length, uint32_t &transferred,
        Departure &departure);
    bool answer(const std::vector<uint8_t> &bytes, uint8_t *buffer, uint32_t length, uint32_t &transferred);
    void announce(Target target, int slot, uint32_t size);
    void receive(const uint8_t *data, uint32_t length);
    void finishIncoming();
    void restartLocked(VantorMode mode, Departure &departure);
    void dropOffLocked(Departure &departure);
    void resetTransientLocked();
    void depart(const Departure &departure);
    // The return of a restart, unless a power-on came since it left.
    void comeBack(const Departure &departure);
    bool supersededLocked(const Departure &departure) const { return departure.powerOns != m_powerOns; }
    void arrive(VantorMode mode);
    void startBusyLocked();
    // Applies what the end of a busy window brings.
    void settleLocked();
    bool busyLocked() const;
    VantorMode powerOnModeLocked() const;
    // The first armed fault that this event hits, or null.
    const VantorFault *takeFault(bool bulk, uint8_t request);
    void changedLocked() const;

    VantorLink &m_link;
    const VantorDeviceBehaviour m_behaviour;
    // Held around every call of the link and the decision before it, so that
    // a power-on and a restart's leaving or return never cross. Taken before
    // m_mutex, never after it. Shared with the return timer's thread, whose
    // arrival may end this object's life while it holds the lock.
    const std::shared_ptr<std::mutex> m_linkOrder = std::make_shared<std::mutex>();

    mutable std::mutex m_mutex; // guards every member below up to m_returnTimer
    VantorDeviceState m_state;
    VantorMode m_mode;
    bool m_onBus = true;
    bool m_returnDue = false; // a restart took or is taking the device off the bus and brings it back
    uint64_t m_powerOns = 0;
    int m_restarts = 0;
    Incoming m_incoming;
    std::optional<std::vector<uint8_t>> m_prepared; // for the next bulk IN read
    bool m_firmwarePending = false; // a whole image waits for its busy window to end
    Clock::time_point m_busyUntil {};
    bool m_busyForever = false;
    std::optional<std::chrono::milliseconds> m_restartDelay;
    std::deque<ArmedFault> m_faults;
    std::deque<VantorRequestRecord> m_requests;
    std::function<void(const VantorDeviceState &)> m_stateListener;

    VantorReturnTimer m_returnTimer;
};
