#include "Transfer.h"

#include "Console.h"
#include "Session.h"

#include <KestArchive/File.h>

#include <QFile>

namespace Kestar {

using Kest::Ar::Archive;

namespace {

constexpr qint64 ChunkSize = 64 * 1024;

// Moves everything `from` delivers into `to` (standard output when null), chunk by chunk.
// Returns the number of bytes moved, or -1 when a read or a write failed (with the reason in
// `why`).
qint64 pump(QIODevice& from, QIODevice* to, ProgressBar* progress, QString& why)
{
    QByteArray buffer(ChunkSize, Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const qint64 count = from.read(buffer.data(), ChunkSize);
        if (count == 0)
            return total;
        if (count < 0) {
            why =
                QStringLiteral("read error after %1 bytes: %2").arg(total).arg(from.errorString());
            return -1;
        }
        const bool written = to ? to->write(buffer.constData(), count) == count
                                : Console::writeOut(buffer.constData(), count);
        if (!written) {
            why = QStringLiteral("write error after %1 bytes").arg(total);
            if (to)
                why += QStringLiteral(": ") + to->errorString();
            return -1;
        }
        total += count;
        if (progress)
            progress->advance(count);
    }
}

bool deliveredWhole(qint64 moved, qint64 expected, const QString& source, QString& why)
{
    if (moved == expected)
        return true;
    why =
        QStringLiteral("%1 delivered %2 bytes instead of %3").arg(source).arg(moved).arg(expected);
    return false;
}

} // namespace

// A member that fails a write has been cut off from its archive, which rolled back: closing
// it keeps that error.
bool importFile(Kest::Ar::Archive& archive, const QString& hostPath, const QString& memberPath,
                ProgressBar& progress, ImportFailure& failure)
{
    QFile source(hostPath);
    if (!source.open(QIODevice::ReadOnly)) {
        failure.why = QStringLiteral("cannot read %1: %2").arg(hostPath, source.errorString());
        return false;
    }
    const qint64 expected = source.size();
    Kest::Ar::File member(&archive, memberPath);
    const auto memberFailed = [&] {
        failure.code = member.error();
        failure.why = failure.code == Archive::Error::NotAFile
                          ? QStringLiteral("%1: is a folder in the archive").arg(memberPath)
                          : QStringLiteral("cannot write %1: %2")
                                .arg(memberPath, failureText(failure.code, member.errorString()));
        return false;
    };
    if (!member.open(QIODevice::WriteOnly))
        return memberFailed();
    progress.setItem(memberPath);
    QString why;
    const qint64 moved = pump(source, &member, &progress, why);
    // Closing records the member's end and entry.
    member.close();
    if (member.error() != Archive::Error::NoError)
        return memberFailed();
    if (moved < 0) {
        failure.why = QStringLiteral("copying %1 to %2: %3").arg(hostPath, memberPath, why);
        return false;
    }
    return deliveredWhole(moved, expected, hostPath, failure.why);
}

bool exportFile(Kest::Ar::Archive& archive, const QString& memberPath, const QString& hostPath,
                ProgressBar& progress, QString& why)
{
    Kest::Ar::File member(&archive, memberPath);
    if (!member.open(QIODevice::ReadOnly)) {
        why = QStringLiteral("cannot read %1: %2").arg(memberPath, member.errorString());
        return false;
    }
    QFile target(hostPath);
    if (!target.open(QIODevice::WriteOnly)) {
        why = QStringLiteral("cannot write %1: %2").arg(hostPath, target.errorString());
        return false;
    }
    progress.setItem(memberPath);
    QString failure;
    const qint64 moved = pump(member, &target, &progress, failure);
    if (moved < 0 || !target.flush()) {
        why = QStringLiteral("copying %1 to %2: %3")
                  .arg(memberPath, hostPath, moved < 0 ? failure : target.errorString());
        return false;
    }
    return deliveredWhole(moved, member.size(), memberPath, why);
}

bool exportToStandardOutput(Kest::Ar::Archive& archive, const QString& memberPath, QString& why)
{
    Kest::Ar::File member(&archive, memberPath);
    if (!member.open(QIODevice::ReadOnly)) {
        why = QStringLiteral("cannot read %1: %2").arg(memberPath, member.errorString());
        return false;
    }
    QString failure;
    const qint64 moved = pump(member, nullptr, nullptr, failure);
    if (moved < 0) {
        why = QStringLiteral("copying %1 to standard output: %2").arg(memberPath, failure);
        return false;
    }
    return deliveredWhole(moved, member.size(), memberPath, why);
}

} // namespace Kestar
