#pragma once

// The archive header as a value: decoded from, encoded to and checked against its bytes.
// Not installed.

#include "Archive.h"

#include <QByteArray>
#include <QStringList>

namespace Kest::Ar {

struct Header
{
    static constexpr qint32 Signature = 0x136BD5EF;
    static constexpr int CurrentVersion = 4;
    // The header area that block 0 follows: 256 bytes from format version 4 on, 64 before.
    static constexpr int AreaSize = 256;
    static constexpr int LegacyAreaSize = 64;

    // Decodes the bytes at the start of a file (at most AreaSize of them). Throws Corrupt when
    // they are not an archive header or contradict themselves. A version above the current
    // one is read with the current layout, one below 2 with the first.
    static Header decode(const QByteArray& bytes);
    // Whether `bytes` begin with the signature.
    static bool hasSignature(const QByteArray& bytes);

    // The bytes to write at offset 0. Versions 2 and 3 wrote headers longer than their 64-byte
    // area, over the start of table block 0; an archive that keeps that area keeps doing so.
    QByteArray encode() const;

    // What contradicts itself or the format, one phrase each; empty when nothing does.
    QStringList problems() const;

    // Member sizes are stored in 4 bytes up to format version 2, in 8 bytes from version 3 on.
    int sizeWidth() const;
    // The version written: an archive keeps the header area it was made with, and the oldest
    // version with 8-byte sizes that has that area is 3.
    int storedVersion() const;

    int formatVersion = CurrentVersion;
    int headerSize = AreaSize;
    Archive::Version applicationVersion;
    quint32 blockSize = Archive::DefaultBlockSize;
    qint32 blocks = 0;
    qint32 blocksPerCluster = Archive::DefaultBlockSize / 4;
    qint32 firstFree = -1;
    // The directory stream's own entry.
    qint64 directorySize = 0;
    qint32 directoryFirst = -1;
    qint32 directoryLast = -1;
};

} // namespace Kest::Ar
