// Verifies a file with its detached signature the way the tool does: the
// file loaded and checked by the tool's own single read (FirmwareFile), its
// bytes verified with FILE.minisig beside it, KEY.pub as a trusted key; exit
// status 0 only when it verifies. Timed as a whole process
// beside `minisign -Vm FILE -p KEY.pub`.
//
// usage: bench_verify_signature KEY.pub FILE

#include "firmware/firmwarefile.h"
#include "firmware/firmwaresignature.h"
#include "firmware/trustedkeys.h"

#include <QFile>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc != 3) {
        std::fputs("usage: bench_verify_signature KEY.pub FILE\n", stderr);
        return 2;
    }
    const QString keyFile = QFile::decodeName(argv[1]);
    const QString fileName = QFile::decodeName(argv[2]);

    TrustedKeys keys;
    keys.addFile(keyFile);
    for (const TrustedKeys::Problem &problem : keys.problems())
        std::fprintf(stderr, "%s\n", qPrintable(TrustedKeys::problemText(problem)));

    FirmwareFile firmware;
    try {
        firmware.loadFile(fileName);
    } catch (const FirmwareFile::fileCorruptedError &error) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(fileName), qPrintable(error.reason()));
        return 1;
    }
    const SignatureCheck check = FirmwareSignature::check(firmware.fileBytes(), fileName, keys);
    std::printf("%s\n", qPrintable(signatureStateText(check)));
    return check.isVerified() ? 0 : 1;
}
