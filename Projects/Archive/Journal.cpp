#include "Journal.h"

#include "Checksum.h"
#include "Failure.h"
#include "HostIo.h"

#include <QFileInfo>
#include <QRandomGenerator>
#include <QScopeGuard>
#include <QtEndian>

namespace Kest::Ar {

namespace {

// The journal header: magic, format version, nonce, committed length, block size, header
// area size, then a CRC-32 of those 32 bytes.
constexpr char Magic[8] = {'K', 'e', 's', 't', 'J', 'r', 'n', 'l'};
constexpr quint32 FormatVersion = 1;
constexpr qint64 HeaderLength = 36;
// A record: unit, length, the bytes, then a CRC-32 of the nonce, unit, length and bytes.
constexpr qint64 RecordFrame = 8;

void putBig32(QByteArray& out, quint32 value)
{
    char bytes[4];
    qToBigEndian(value, bytes);
    out.append(bytes, 4);
}

void putBig64(QByteArray& out, quint64 value)
{
    char bytes[8];
    qToBigEndian(value, bytes);
    out.append(bytes, 8);
}

QByteArray encodeHeader(quint32 nonce, const Journal::Geometry& g)
{
    QByteArray out(Magic, 8);
    putBig32(out, FormatVersion);
    putBig32(out, nonce);
    putBig64(out, quint64(g.committedLength));
    putBig32(out, g.blockSize);
    putBig32(out, g.headerSize);
    putBig32(out, crc32(out.constData(), out.size()));
    return out;
}

QByteArray nonceBytes(quint32 nonce)
{
    QByteArray bytes;
    putBig32(bytes, nonce);
    return bytes;
}

// The checksum of a record: of the nonce, then of its frame and bytes as they stand in it.
quint32 recordChecksum(quint32 nonce, const char* record, qint64 length)
{
    return crc32(record, length, crc32(nonceBytes(nonce).constData(), 4));
}

[[noreturn]] void journalFailure(const char* operation, const QString& path)
{
    failIo(operation, path);
}

} // namespace

qint64 Journal::Geometry::offsetOf(qint32 unit) const
{
    return unit == HeaderUnit ? 0 : qint64(headerSize) + qint64(unit) * blockSize;
}

qint64 Journal::Geometry::lengthOf(qint32 unit) const
{
    return unit == HeaderUnit ? headerSize : blockSize;
}

Journal::Journal(const QString& archivePath) : file_(pathFor(archivePath))
{
}

QString Journal::pathFor(const QString& archivePath)
{
    return archivePath + QStringLiteral("-journal");
}

QString Journal::path() const
{
    return file_.fileName();
}

void Journal::setArchivePath(const QString& archivePath)
{
    Q_ASSERT(!file_.isOpen());
    file_.setFileName(pathFor(archivePath));
}

void Journal::begin(HostIo& io, const Geometry& geometry)
{
    Q_ASSERT(!active_);
    if (!file_.isOpen() && !file_.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
        fail(Archive::Error::IoError,
             QStringLiteral("journal: cannot open %1: %2").arg(path(), file_.errorString()));
    geometry_ = geometry;
    nonce_ = QRandomGenerator::global()->generate();
    end_ = 0;
    active_ = true;
    writeAt(io, 0, encodeHeader(nonce_, geometry_));
}

bool Journal::isActive() const
{
    return active_;
}

void Journal::append(qint32 unit, qint64 length, const std::function<qint64(char*)>& fill)
{
    Q_ASSERT(active_);
    const qsizetype at = pending_.size();
    auto undo = qScopeGuard([&] { pending_.resize(at); });
    pending_.resize(at + RecordFrame + length + 4);
    const qint64 got = fill(pending_.data() + at + RecordFrame);
    undo.dismiss();
    pending_.resize(at + RecordFrame + got + 4);
    char* record = pending_.data() + at;
    qToBigEndian<quint32>(quint32(unit), record);
    qToBigEndian<quint32>(quint32(got), record + 4);
    qToBigEndian<quint32>(recordChecksum(nonce_, record, RecordFrame + got),
                          record + RecordFrame + got);
}

void Journal::flush(HostIo& io, bool durable)
{
    if (!pending_.isEmpty()) {
        writeAt(io, end_, pending_);
        pending_.resize(0); // keeping its room for the next batch
    }
    if (durable)
        sync(io);
}

void Journal::writeAt(HostIo& io, qint64 offset, const QByteArray& bytes)
{
    if (!io.write(file_, offset, bytes.constData(), bytes.size()))
        journalFailure("journal", path());
    end_ = offset + bytes.size();
    unsynced_ = true;
}

void Journal::sync(HostIo& io)
{
    if (!unsynced_)
        return;
    if (!io.sync(file_))
        journalFailure("journal sync", path());
    if (!folderSynced_) {
        if (!io.syncFolder(QFileInfo(path()).absolutePath()))
            journalFailure("journal folder sync", path());
        folderSynced_ = true;
    }
    unsynced_ = false;
}

// The header is overwritten with zeros rather than the file cut: its pages, already the file's,
// take the next transaction's records without the file system allocating them again.
void Journal::end(HostIo& io, bool durable)
{
    if (!file_.isOpen())
        return;
    pending_.resize(0);
    static constexpr char NoHeader[HeaderLength] = {};
    if (!io.write(file_, 0, NoHeader, HeaderLength))
        journalFailure("journal end", path());
    active_ = false;
    unsynced_ = true;
    if (durable)
        sync(io);
    unsynced_ = false;
}

void Journal::remove()
{
    Q_ASSERT(!active_);
    file_.close();
    QFile::remove(path());
    folderSynced_ = false;
}

// ---- Reading ------------------------------------------------------------------------------

Journal::Reader::Reader(HostIo& io, const QString& path) : io_(io), file_(path)
{
    char header[HeaderLength];
    if (!file_.open(QIODevice::ReadOnly) ||
        io_.read(file_, 0, header, HeaderLength) != HeaderLength)
        return;
    if (memcmp(header, Magic, 8) != 0 || qFromBigEndian<quint32>(header + 8) != FormatVersion ||
        qFromBigEndian<quint32>(header + 32) != crc32(header, 32))
        return;
    nonce_ = qFromBigEndian<quint32>(header + 12);
    geometry_.committedLength = qint64(qFromBigEndian<quint64>(header + 16));
    geometry_.blockSize = qFromBigEndian<quint32>(header + 24);
    geometry_.headerSize = qFromBigEndian<quint32>(header + 28);
    valid_ = geometry_.committedLength >= 0 && geometry_.blockSize >= Archive::MinBlockSize &&
             geometry_.blockSize <= Archive::MaxBlockSize &&
             (geometry_.headerSize == 64 || geometry_.headerSize == 256);
    offset_ = HeaderLength;
}

bool Journal::Reader::isValid() const
{
    return valid_;
}

const Journal::Geometry& Journal::Reader::geometry() const
{
    return geometry_;
}

bool Journal::Reader::next(qint32& unit, QByteArray& bytes)
{
    if (!valid_)
        return false;
    QByteArray frame(RecordFrame, '\0');
    if (io_.read(file_, offset_, frame.data(), RecordFrame) != RecordFrame)
        return false;
    unit = qint32(qFromBigEndian<quint32>(frame.constData()));
    const quint32 length = qFromBigEndian<quint32>(frame.constData() + 4);
    // A record holds at most one unit, and only a unit of the committed file.
    if (unit < HeaderUnit || length > geometry_.lengthOf(unit) ||
        geometry_.offsetOf(unit) + length > geometry_.committedLength)
        return false;
    bytes.resize(length + 4);
    if (io_.read(file_, offset_ + RecordFrame, bytes.data(), bytes.size()) != bytes.size())
        return false;
    const quint32 stored = qFromBigEndian<quint32>(bytes.constData() + length);
    bytes.truncate(length);
    if (stored !=
        crc32(bytes.constData(), length, recordChecksum(nonce_, frame.constData(), RecordFrame)))
        return false;
    offset_ += RecordFrame + length + 4;
    return true;
}

} // namespace Kest::Ar
