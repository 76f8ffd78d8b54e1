#include "TestSupport.h"

#include "File.h"

#include <QDataStream>
#include <QFile>

namespace KestTest {

QByteArray readHostFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

bool writeHostFile(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

bool patchHostFile(const QString& path, qint64 offset, const QByteArray& bytes)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && file.seek(offset) &&
           file.write(bytes) == bytes.size();
}

namespace {
template <typename Value> QByteArray encoded(const Value& value)
{
    QByteArray bytes;
    QDataStream out(&bytes, QIODevice::WriteOnly);
    out << value;
    return bytes;
}
} // namespace

QByteArray be32(qint32 value)
{
    return encoded(value);
}

QByteArray be64(qint64 value)
{
    return encoded(value);
}

QByteArray qstringBytes(const QString& text)
{
    return encoded(text);
}

QByteArray padded(QByteArray bytes, qsizetype size)
{
    return bytes.append(size - bytes.size(), '\0');
}

QByteArray patternBytes(qint64 size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = seed * 2654435761u + 1u;
    for (qint64 i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = char(state & 0xFF);
    }
    return bytes;
}

QByteArray headerBytes(int version, quint32 blockSize, int blocks, qint64 directorySize, int first,
                       int last, const Archive::Version& app, int firstFree)
{
    QByteArray out = be32(0x136BD5EF) + be32(version);
    if (version >= 2)
        out += be32(app.major) + be32(app.minor) + be32(app.patch);
    out += be32(qint32(blockSize)) + be32(blocks) + be32(qint32(blockSize / 4)) + be32(firstFree) +
           qstringBytes(QStringLiteral("qel_dir"));
    out += version <= 2 ? be32(qint32(directorySize)) : be64(directorySize);
    return out + be32(first) + be32(last);
}

QByteArray archiveFile(int version, const QByteArray& header, const QByteArray& blocks)
{
    QByteArray out = QByteArray(version <= 3 ? 64 : 256, '\0') + blocks;
    return out.replace(0, header.size(), header);
}

QByteArray tableBlock(quint32 blockSize, const QList<qint32>& links)
{
    QByteArray out;
    for (qint32 link : links)
        out += be32(link);
    return out + be32(Invalid).repeated(int(blockSize / 4) - links.size());
}

QByteArray rootFolder(const QList<QByteArray>& children)
{
    return folderRecord(QStringLiteral("qel_root"), children).mid(4);
}

QByteArray fileRecord(const QString& name, qint64 size, int first, int last, int width)
{
    return be32(0) + qstringBytes(name) + (width == 4 ? be32(qint32(size)) : be64(size)) +
           be32(first) + be32(last);
}

QByteArray folderRecord(const QString& name, const QList<QByteArray>& children)
{
    QByteArray out = be32(1) + qstringBytes(name) + be32(qint32(children.size()));
    for (const QByteArray& child : children)
        out += child;
    return out;
}

QByteArray smallArchive(int version, quint32 blockSize, const QByteArray& root,
                        const Archive::Version& app)
{
    return archiveFile(version, headerBytes(version, blockSize, 2, root.size(), 1, 1, app),
                       tableBlock(blockSize) + padded(root, blockSize));
}

QByteArray readMember(Archive& archive, const QString& path)
{
    Kest::Ar::File member(&archive, path);
    if (!member.open(QIODevice::ReadOnly))
        return {};
    QByteArray bytes = member.readAll();
    if (bytes.isNull())
        bytes = QByteArray("");
    return bytes;
}

bool writeMember(Archive& archive, const QString& path, const QByteArray& bytes,
                 QIODevice::OpenMode mode)
{
    Kest::Ar::File member(&archive, path);
    if (!member.open(mode) || member.write(bytes) != bytes.size())
        return false;
    member.close();
    return member.error() == Archive::Error::NoError;
}

} // namespace KestTest
