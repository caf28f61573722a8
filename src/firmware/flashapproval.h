#pragma once

// The one decision every front end takes before a file is flashed: load the
// trusted keys, read the machine's policy, check the signature over the
// bytes of the single read, and say whether the file may be flashed. The
// window, talvex-cli and the station all come here, so none repeats it.
// Any thread; nothing is kept.

#include "firmware/firmwaresignature.h"
#include "firmware/signaturepolicy.h"
#include "firmware/trustedkeys.h"

#include <QString>
#include <QStringList>
#include <QVector>

class FirmwareFile;

struct FlashApproval
{
    // What a run adds to the machine's keys and policy (--key, --require-signature).
    struct Options
    {
        QStringList keyFiles;
        bool requireSignature = false;
    };

    SignatureCheck check;
    SignaturePolicy policy;
    FlashRefusal refusal = FlashRefusal::None;
    // Key files that could not be used; the others still count.
    QVector<TrustedKeys::Problem> keyProblems;

    bool isRefused() const { return refusal != FlashRefusal::None; }
    // Why the file is refused; empty when it may be flashed.
    QString refusalText() const { return flashRefusalText(refusal, check, policy); }
    // "verified" or "unsigned", as the record writes it; empty when refused.
    QString recordState() const;

    // With the machine's keys (and those of options) and the machine's policy
    // (made stricter by options).
    static FlashApproval decide(
        const FirmwareFile &firmware, const QString &firmwarePath, const Options &options);
};

// A few words for the state beside the version ("signed", "not signed",
// "refused"); signatureStateText() is the full line.
QString signatureShortText(const FlashApproval &approval);

// Whether text is a SHA-256 written as 64 hex digits (either case).
bool isSha256Hex(const QString &text);
