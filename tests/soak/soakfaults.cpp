#include "soakfaults.h"

#include <iterator>

namespace {

// A short transfer moves fewer bytes than asked: a batch is 256 bytes, a
// record or descriptor at most 24, and a transfer without data is left whole.
uint32_t shortLength(std::mt19937 &random, SimOp op)
{
    const uint32_t longest = op == SimOp::WritePipe ? 255 : 23;
    return std::uniform_int_distribution<uint32_t>(0, longest)(random);
}

} // namespace

const char *faultKindName(FaultKind kind)
{
    switch (kind) {
    case FaultKind::Fail:
        return "fail";
    case FaultKind::ShortTransfer:
        return "short transfer";
    case FaultKind::Unplug:
        return "unplug";
    case FaultKind::SlowRestart:
        return "slow restart";
    case FaultKind::EndlessBusy:
        return "endless busy";
    }
    return "?";
}

std::string DrawnFault::description() const
{
    switch (kind) {
    case FaultKind::Fail:
    case FaultKind::ShortTransfer:
    case FaultKind::Unplug: {
        std::string text = std::string(simOpName(hostFault.op)) + " #" + std::to_string(hostFault.nth);
        if (kind == FaultKind::ShortTransfer)
            return text + " moves at most " + std::to_string(hostFault.bytes) + " bytes";
        return text + (kind == FaultKind::Fail ? " fails" : " finds the device unplugged");
    }
    case FaultKind::SlowRestart:
        return "restarts take " + std::to_string(restartDelay.count()) + " ms";
    case FaultKind::EndlessBusy:
        return "the device stays busy";
    }
    return "?";
}

FaultDrawer::FaultDrawer(
    uint32_t seed, std::map<SimOp, std::size_t> callsOfAFlash, std::chrono::milliseconds comeBackLimit)
    : m_random(seed)
    , m_calls(std::move(callsOfAFlash))
    , m_comeBackLimit(comeBackLimit)
{
    for (auto call = m_calls.begin(); call != m_calls.end();)
        call = call->second == 0 ? m_calls.erase(call) : std::next(call);
}

DrawnFault FaultDrawer::draw()
{
    DrawnFault fault;
    fault.kind = FaultKind(std::uniform_int_distribution<int>(0, faultKindCount - 1)(m_random));
    switch (fault.kind) {
    case FaultKind::Fail:
    case FaultKind::ShortTransfer:
    case FaultKind::Unplug: {
        // A call of the flash, every call equally likely.
        std::size_t total = 0;
        for (const auto &call : m_calls)
            total += call.second;
        std::size_t pick = std::uniform_int_distribution<std::size_t>(0, total - 1)(m_random);
        auto call = m_calls.begin();
        while (pick >= call->second) {
            pick -= call->second;
            ++call;
        }
        fault.hostFault.op = call->first;
        fault.hostFault.nth = int(pick) + 1;
        fault.hostFault.action = fault.kind == FaultKind::Fail ? SimFault::Action::Fail
            : fault.kind == FaultKind::Unplug                  ? SimFault::Action::Unplug
                                                               : SimFault::Action::MoveFewer;
        if (fault.kind == FaultKind::ShortTransfer)
            fault.hostFault.bytes = shortLength(m_random, call->first);
        break;
    }
    case FaultKind::SlowRestart: {
        // From half to twice the limit: some devices make it, some do not.
        const auto limit = m_comeBackLimit.count();
        fault.restartDelay = std::chrono::milliseconds(
            std::uniform_int_distribution<long long>(limit / 2, 2 * limit)(m_random));
        break;
    }
    case FaultKind::EndlessBusy:
        break;
    }
    return fault;
}

void SoakTally::count(FaultKind kind, bool succeeded)
{
    ++m_counts[std::size_t(kind)][succeeded ? 0 : 1];
}

int SoakTally::runs() const
{
    int total = 0;
    for (const auto &outcomes : m_counts)
        total += outcomes[0] + outcomes[1];
    return total;
}

std::string SoakTally::line() const
{
    std::string text;
    for (int kind = 0; kind < faultKindCount; ++kind) {
        const auto &outcomes = m_counts[std::size_t(kind)];
        if (!text.empty())
            text += ", ";
        text += std::string(faultKindName(FaultKind(kind))) + " " + std::to_string(outcomes[0] + outcomes[1])
            + " (" + std::to_string(outcomes[0]) + " succeeded, " + std::to_string(outcomes[1]) + " failed)";
    }
    return text;
}
