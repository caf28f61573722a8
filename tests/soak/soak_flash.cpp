// Flashes one simulated device again and again through the same driver and
// worker thread, as the window would: each run with a fault drawn at random
// from the fault matrix, followed by a healthy flash that must succeed.
// Stops with a message at the first run that breaks a rule: a flash without
// exactly one answer, a healthy flash that fails, a run that hangs, a
// handle or device object too many. At the end every handle must be back,
// and the heap no larger than after the first runs.
// usage: soak_flash [--runs N] [--seed S]

#include "soakfaults.h"
#include "soakrig.h"

#include "protocol/loadertiming.h"

#include <QCoreApplication>
#include <QStringList>

#include <malloc.h>

#include <cstdio>
#include <cstdlib>

extern "C" size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

namespace {

// The protocol's pauses and limits at a hundredth: 50 ms for a restart to
// come back, 1.2 s of busy answers before a device is given up on. Shorter
// limits would let a worker thread held up on a loaded machine miss them in
// a healthy flash.
constexpr double timeScale = 0.01;
constexpr std::chrono::milliseconds busyTime {2};
// Far beyond what any run needs, even on a loaded machine under a sanitizer.
constexpr std::chrono::seconds runLimit {60};

// Bytes the program holds on its heap now (without AddressSanitizer's quarantine).
long long heapInUse()
{
    if (__sanitizer_get_current_allocated_bytes)
        return static_cast<long long>(__sanitizer_get_current_allocated_bytes());
    const struct mallinfo2 info = mallinfo2();
    return static_cast<long long>(info.uordblks + info.hblkhd);
}

[[noreturn]] void stop(uint32_t seed, int run, const DrawnFault &fault, const char *what, const SoakRig &rig)
{
    std::fprintf(stderr, "soak: seed %u, run %d (%s, %s): %s\nlast calls:\n%s", seed, run,
        faultKindName(fault.kind), fault.description().c_str(), what, rig.recentCalls().c_str());
    std::fflush(stderr);
    // The worker thread may be stuck in the device; it cannot be joined.
    std::_Exit(1);
}

bool parseArguments(const QStringList &arguments, int &runs, uint32_t &seed)
{
    for (int i = 1; i < arguments.size(); i += 2) {
        bool ok = i + 1 < arguments.size();
        const qlonglong value = ok ? arguments.at(i + 1).toLongLong(&ok) : 0;
        if (!ok || value < 1 || value > 0xFFFFFFFFLL)
            return false;
        if (arguments.at(i) == QLatin1String("--runs"))
            runs = int(qMin(value, 10000000LL));
        else if (arguments.at(i) == QLatin1String("--seed"))
            seed = uint32_t(value);
        else
            return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication application(argc, argv);
    int runs = 1000;
    uint32_t seed = 1;
    if (!parseArguments(application.arguments(), runs, seed)) {
        std::fprintf(stderr, "usage: soak_flash [--runs N] [--seed S]\n");
        return 2;
    }
    std::printf("soak: seed %u, %d runs (replay with --seed %u --runs %d)\n", seed, runs, seed, runs);
    std::fflush(stdout);

    SoakTally tally;
    long long heapAfterWarmUp = 0;
    const int warmUpRuns = qMax(1, runs / 10);
    {
        SoakRig rig(timeScale, busyTime);
        DrawnFault none;
        if (!rig.settle(runLimit))
            stop(seed, 0, none, "the device never appeared", rig);
        FaultDrawer drawer(seed, rig.countCallsOfAFlash(),
            std::chrono::milliseconds(LoaderTiming::scaled(LoaderTiming::comeBackLimitMs)));
        if (rig.answers().successes != 1 || !rig.settle(runLimit))
            stop(seed, 0, none, "the first healthy flash failed", rig);
        rig.startApplication();

        for (int run = 1; run <= runs; ++run) {
            if (!rig.settle(runLimit))
                stop(seed, run, none, "the device did not come back before the run", rig);
            const DrawnFault fault = drawer.draw();
            rig.clearAnswers();
            rig.arm(fault);
            if (!rig.flash(runLimit))
                stop(seed, run, fault, "the faulty flash never ended", rig);
            const bool succeeded = rig.answers().successes > 0;
            if (succeeded && !rig.deviceHoldsImage())
                stop(seed, run, fault, "a faulty flash was reported done without the whole image on the device", rig);
            rig.disarm();
            if (!rig.settle(runLimit))
                stop(seed, run, fault, "the device did not come back after the faulty flash", rig);
            if (rig.answers().total() != 1)
                stop(seed, run, fault, "the faulty flash did not end with exactly one answer", rig);
            tally.count(fault.kind, succeeded);

            rig.clearAnswers();
            if (!rig.flash(runLimit))
                stop(seed, run, fault, "the healthy flash never ended", rig);
            if (rig.answers().successes != 1 || !rig.deviceHoldsImage())
                stop(seed, run, fault, "the healthy flash after the fault failed", rig);
            // As in the window, where the user reads the message first: the
            // device's own restart into its application is followed by then.
            if (!rig.settle(runLimit))
                stop(seed, run, fault, "the device did not come back after the healthy flash", rig);
            rig.startApplication();
            if (!rig.settle(runLimit) || rig.answers().total() != 1)
                stop(seed, run, fault, "the healthy flash did not end with exactly one answer", rig);

            const SoakRig::Census census = rig.census();
            if (census.devices > 1 || census.loaders > 1 || census.openFiles > 1
                || census.liveInterfaceHandles > 1 || census.invalidHandleUses != 0)
                stop(seed, run, fault, "a handle or device object too many, or a handle used after release",
                    rig);
            if (run == warmUpRuns)
                heapAfterWarmUp = heapInUse();
        }

        const long long growth = heapInUse() - heapAfterWarmUp;
        const SoakRig::Census left = rig.shutDown();
        std::printf("soak: seed %u, %d runs, %s; %d healthy flashes after them, all succeeded; %d replugs of "
                    "a device left without a loader; handles left: %d files, %d interfaces, %d used after "
                    "release; heap %+lld bytes from run %d to the end\n",
            seed, tally.runs(), tally.line().c_str(), tally.runs(), rig.replugs(), left.openFiles,
            left.liveInterfaceHandles, left.invalidHandleUses, growth, warmUpRuns);
        // Before the leak check at exit, which ends the program on a finding.
        std::fflush(stdout);
        if (left.openFiles != 0 || left.liveInterfaceHandles != 0 || left.invalidHandleUses != 0) {
            std::fprintf(stderr, "soak: handles were left open or used after release\n");
            return 1;
        }
        // A leak of a few hundred bytes a run would show as this much over a full soak.
        if (growth > 1024 * 1024) {
            std::fprintf(stderr, "soak: the heap grew by %lld bytes after the first runs\n", growth);
            return 1;
        }
    }
    return 0;
}
