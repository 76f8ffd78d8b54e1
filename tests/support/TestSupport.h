#pragma once

#include <QByteArray>
#include <QDataStream>
#include <QString>
#include <QTemporaryDir>

namespace KestTest {

// The whole content of a host file (empty when it cannot be read).
QByteArray readHostFile(const QString& path);
// Writes `bytes` as the whole content of a host file; false on failure.
bool writeHostFile(const QString& path, const QByteArray& bytes);
// Overwrites bytes of an existing host file at `offset`; false on failure.
bool patchHostFile(const QString& path, qint64 offset, const QByteArray& bytes);

// Big-endian encodings, as QDataStream writes them, for building archives byte by byte.
QByteArray be32(qint32 value);
QByteArray be64(qint64 value);
QByteArray qstringBytes(const QString& text);

// Deterministic pseudo-random bytes.
QByteArray patternBytes(qint64 size, quint32 seed);

} // namespace KestTest
