#include "station/unitoutcome.h"

QString unitResultKey(UnitResult result)
{
    switch (result) {
    case UnitResult::Done:
        return QStringLiteral("done");
    case UnitResult::AlreadyCurrent:
        return QStringLiteral("already current");
    case UnitResult::Failed:
        return QStringLiteral("failed");
    case UnitResult::NotRecorded:
        return QStringLiteral("not recorded");
    case UnitResult::Aborted:
        break;
    }
    return QStringLiteral("aborted");
}

QString unitResultText(UnitResult result)
{
    switch (result) {
    case UnitResult::Done:
        return QStringLiteral("Done");
    case UnitResult::AlreadyCurrent:
        return QStringLiteral("Already current");
    case UnitResult::Failed:
        return QStringLiteral("Failed");
    case UnitResult::NotRecorded:
        return QStringLiteral("Not recorded");
    case UnitResult::Aborted:
        break;
    }
    return QStringLiteral("Aborted");
}

bool reachedGoal(UnitResult result)
{
    return result == UnitResult::Done || result == UnitResult::AlreadyCurrent;
}

QString unitPhaseKey(UnitPhase phase)
{
    switch (phase) {
    case UnitPhase::Opening:
        return QStringLiteral("opening");
    case UnitPhase::Flashing:
        return QStringLiteral("flashing");
    case UnitPhase::Finishing:
        return QStringLiteral("finishing");
    case UnitPhase::Restarting:
        return QStringLiteral("restarting");
    case UnitPhase::Identity:
        break;
    }
    return QStringLiteral("identity");
}

QString unitPhaseText(UnitPhase phase)
{
    switch (phase) {
    case UnitPhase::Opening:
        return QStringLiteral("Opening");
    case UnitPhase::Flashing:
        return QStringLiteral("Flashing");
    case UnitPhase::Finishing:
        return QStringLiteral("Finishing");
    case UnitPhase::Restarting:
        return QStringLiteral("Restarting");
    case UnitPhase::Identity:
        break;
    }
    return QStringLiteral("Identity");
}
