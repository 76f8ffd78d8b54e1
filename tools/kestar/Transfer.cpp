#include "Transfer.h"

#include "Console.h"

#include <KestArchive/File.h>

#include <QFile>

#include <functional>
#include <stdexcept>

namespace Kestar {

namespace {

constexpr qint64 ChunkSize = 64 * 1024;

using Sink = std::function<bool(const char*, qint64)>;

// The library explains a refusal in its last debug message; quotes from Qt's debug stream
// are dropped.
QString libraryReason()
{
    const QStringList messages = Console::takeLibraryMessages();
    if (messages.isEmpty())
        return QStringLiteral("the library gave no reason");
    QString reason = messages.last();
    if (reason.size() >= 2 && reason.startsWith(QLatin1Char('"')) &&
        reason.endsWith(QLatin1Char('"')))
        reason = reason.mid(1, reason.size() - 2);
    return reason;
}

// Moves everything `from` delivers into `to`, chunk by chunk. Returns the number of bytes
// moved, or -1 when a read or a write failed (with the reason in `why`).
qint64 pump(QIODevice& from, const Sink& to, ProgressBar* progress, QString& why)
{
    QByteArray buffer(ChunkSize, Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const qint64 count = from.read(buffer.data(), ChunkSize);
        if (count == 0)
            return total;
        if (count < 0) {
            why = QStringLiteral("read error after %1 bytes").arg(total);
            return -1;
        }
        if (!to(buffer.constData(), count)) {
            why = QStringLiteral("write error after %1 bytes").arg(total);
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

Sink deviceSink(QIODevice& device)
{
    return [&device](const char* data, qint64 size) { return device.write(data, size) == size; };
}

} // namespace

bool importFile(Kest::Ar::Archive& archive, const QString& hostPath, const QString& memberPath,
                ProgressBar& progress, QString& why)
{
    QFile source(hostPath);
    if (!source.open(QIODevice::ReadOnly)) {
        why = QStringLiteral("cannot read %1: %2").arg(hostPath, source.errorString());
        return false;
    }
    const qint64 expected = source.size();
    Console::takeLibraryMessages();
    Kest::Ar::File member(&archive, memberPath);
    if (!member.open(QIODevice::WriteOnly)) {
        why = QStringLiteral("cannot write %1: %2").arg(memberPath, libraryReason());
        return false;
    }
    progress.setItem(memberPath);
    QString failure;
    const qint64 moved = pump(source, deviceSink(member), &progress, failure);
    try {
        // Closing writes the member's end, its entry and the directory back.
        member.close();
    } catch (const std::exception& writeBack) {
        why = QStringLiteral("cannot write %1 back: %2").arg(memberPath, writeBack.what());
        return false;
    }
    if (moved < 0) {
        why = QStringLiteral("copying %1 to %2: %3").arg(hostPath, memberPath, failure);
        return false;
    }
    return deliveredWhole(moved, expected, hostPath, why);
}

bool exportFile(Kest::Ar::Archive& archive, const QString& memberPath, const QString& hostPath,
                ProgressBar& progress, QString& why)
{
    Console::takeLibraryMessages();
    Kest::Ar::File member(&archive, memberPath);
    if (!member.open(QIODevice::ReadOnly)) {
        why = QStringLiteral("cannot read %1: %2").arg(memberPath, libraryReason());
        return false;
    }
    QFile target(hostPath);
    if (!target.open(QIODevice::WriteOnly)) {
        why = QStringLiteral("cannot write %1: %2").arg(hostPath, target.errorString());
        return false;
    }
    progress.setItem(memberPath);
    QString failure;
    const qint64 moved = pump(member, deviceSink(target), &progress, failure);
    if (moved < 0 || !target.flush()) {
        why = QStringLiteral("copying %1 to %2: %3")
                  .arg(memberPath, hostPath, moved < 0 ? failure : target.errorString());
        return false;
    }
    return deliveredWhole(moved, member.size(), memberPath, why);
}

bool exportToStandardOutput(Kest::Ar::Archive& archive, const QString& memberPath, QString& why)
{
    Console::takeLibraryMessages();
    Kest::Ar::File member(&archive, memberPath);
    if (!member.open(QIODevice::ReadOnly)) {
        why = QStringLiteral("cannot read %1: %2").arg(memberPath, libraryReason());
        return false;
    }
    QString failure;
    const qint64 moved = pump(member, Console::writeOut, nullptr, failure);
    if (moved < 0) {
        why = QStringLiteral("copying %1 to standard output: %2").arg(memberPath, failure);
        return false;
    }
    return deliveredWhole(moved, member.size(), memberPath, why);
}

} // namespace Kestar
