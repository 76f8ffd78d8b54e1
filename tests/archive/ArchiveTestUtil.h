#pragma once

// Helpers shared by the tests of a working archive: a recorder of debug messages, lookups in
// the tree that never create entries, member I/O in one call, and an audit that accounts for
// every block of an open archive.

#include "Archive.h"
#include "Entry.h"
#include "File.h"
#include "TestAccess.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>
#include <QVector>
#include <QtGlobal>

namespace KestTest {

// The text of a QString message as qDebug() << QString prints it.
inline QByteArray quoted(const QString& text)
{
    return "\"" + text.toUtf8() + "\"";
}

// Records every message while it lives, in order, instead of letting Qt Test see them. Used
// where the order of messages matters or where no message at all is expected; elsewhere the
// tests use QTest::ignoreMessage.
class MessageLog
{
public:
    MessageLog() : previous_(qInstallMessageHandler(&MessageLog::record))
    {
        Q_ASSERT(!active());
        active() = this;
    }
    ~MessageLog()
    {
        qInstallMessageHandler(previous_);
        active() = nullptr;
    }
    MessageLog(const MessageLog&) = delete;
    MessageLog& operator=(const MessageLog&) = delete;

    QStringList messages;

private:
    static MessageLog*& active()
    {
        static MessageLog* log = nullptr;
        return log;
    }
    static void record(QtMsgType, const QMessageLogContext&, const QString& message)
    {
        active()->messages.append(message);
    }

    QtMessageHandler previous_;
};

// The entry an absolute path names, found without creating anything; null when missing.
inline Kest::Ar::Entry* findEntry(Kest::Ar::Archive& archive, const QString& path)
{
    Kest::Ar::Entry* entry = Kest::Ar::TestAccess::root(archive);
    for (const QString& name : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        if (!entry || !entry->isFolder())
            return nullptr;
        entry = static_cast<Kest::Ar::FolderEntry*>(entry)->child(name);
    }
    return entry;
}

inline Kest::Ar::FileEntry* findFile(Kest::Ar::Archive& archive, const QString& path)
{
    Kest::Ar::Entry* entry = findEntry(archive, path);
    return entry && !entry->isFolder() ? static_cast<Kest::Ar::FileEntry*>(entry) : nullptr;
}

// The blocks of the chain that starts at `first`, following the table in memory; the walk
// stops at END_OF_CHAIN, at a link outside the archive, or after nBlocks steps.
inline QList<int> chainOf(Kest::Ar::Archive& archive, int first)
{
    using Kest::Ar::TestAccess;
    QList<int> blocks;
    const int nBlocks = TestAccess::nBlocks(archive);
    for (int b = first; b >= 0 && b < nBlocks && blocks.size() <= nBlocks;
         b = TestAccess::table(archive)[b])
        blocks.append(b);
    return blocks;
}

// A big-endian 32-bit integer of a host file's bytes; 0x7fffffff when the bytes are missing.
inline qint32 diskInt(const QByteArray& file, qint64 offset)
{
    if (offset < 0 || offset + 4 > file.size())
        return 0x7fffffff;
    const auto* p = reinterpret_cast<const uchar*>(file.constData() + offset);
    return qint32((quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | p[3]);
}

// The table entry of `block` as stored in an archive file of a 256-byte header area: entries
// live in the first block of each cluster of blockSize / 4 blocks.
inline qint32 diskTableEntry(const QByteArray& file, int block, qint64 blockSize = 4096)
{
    const qint64 perCluster = blockSize / 4;
    const qint64 tableBlock = block / perCluster * perCluster;
    return diskInt(file, 256 + tableBlock * blockSize + (block % perCluster) * 4);
}

// Header fields of an archive file, at their offsets in the header.
inline qint32 diskBlockCount(const QByteArray& file)
{
    return diskInt(file, 24);
}
inline qint32 diskFirstFreeBlock(const QByteArray& file)
{
    return diskInt(file, 32);
}

// Writes `bytes` as the whole content of a member (created when missing) and closes it.
inline bool writeMember(Kest::Ar::Archive& archive, const QString& path, const QByteArray& bytes)
{
    Kest::Ar::File member(&archive, path);
    if (!member.open(QIODevice::WriteOnly))
        return false;
    const bool written = member.write(bytes) == bytes.size();
    member.close();
    return written;
}

// The whole content of a member; a null array when it cannot be opened.
inline QByteArray readMember(Kest::Ar::Archive& archive, const QString& path)
{
    Kest::Ar::File member(&archive, path);
    if (!member.open(QIODevice::ReadOnly))
        return QByteArray();
    QByteArray bytes = member.readAll();
    if (bytes.isNull())
        bytes = QByteArray("");
    return bytes;
}

// Accounts for every block of an open archive whose member files are all closed: each block
// below the block count must be exactly one of a table block (linked to the next one), a block
// of exactly one chain (the directory stream or a member) or a free block, and table slots past
// the block count are INVALID. A chain must end at its entry's last block and hold exactly the
// blocks its size needs (one for an empty member; none for an entry without a chain, whose size
// is 0). Returns one line per problem; empty when everything is accounted for.
inline QStringList auditBlocks(Kest::Ar::Archive& archive)
{
    using namespace Kest::Ar;
    QStringList problems;
    const QList<int>& table = TestAccess::table(archive);
    const int nBlocks = TestAccess::nBlocks(archive);
    const int perCluster = TestAccess::nBlocksPerCluster(archive);
    if (perCluster <= 0 || table.size() % perCluster != 0 || table.size() < nBlocks ||
        table.size() - nBlocks >= perCluster)
        return {QStringLiteral("table of %1 entries for %2 blocks").arg(table.size()).arg(nBlocks)};
    QVector<QString> owner(nBlocks);
    // Claims the chain from `first` for `who`; returns its length and its last block in `last`.
    auto walk = [&](int first, const QString& who, int& last) {
        int count = 0;
        for (last = -1; first != -1 && count <= nBlocks; first = table[first], ++count) {
            if (first < 0 || first >= nBlocks) {
                problems
                    << QStringLiteral("%1 links to %2, outside the archive").arg(who).arg(first);
                break;
            }
            if (!owner[first].isEmpty())
                problems << QStringLiteral("block %1 belongs to %2 and to %3")
                                .arg(first)
                                .arg(owner[first], who);
            owner[first] = who;
            last = first;
        }
        return count;
    };
    auto checkStream = [&](const FileEntry* entry, const QString& who) {
        int last = -1;
        const int count = entry->isUnallocated() ? 0 : walk(entry->firstBlock(), who, last);
        const qint64 blockSize = archive.blockSize();
        const qint64 needed = entry->isUnallocated() && entry->size() == 0
                                  ? 0
                                  : qMax<qint64>(1, (entry->size() + blockSize - 1) / blockSize);
        if (count != needed || last != entry->lastBlock())
            problems << QStringLiteral("%1 of %2 bytes holds %3 blocks up to %4; its entry says %5")
                            .arg(who)
                            .arg(entry->size())
                            .arg(count)
                            .arg(last)
                            .arg(entry->lastBlock());
    };

    for (int first = 0; first < nBlocks; first += perCluster) {
        const int expected = first + perCluster < nBlocks ? first + perCluster : -1;
        if (table[first] != expected)
            problems << QStringLiteral("table block %1 links to %2").arg(first).arg(table[first]);
        owner[first] = QStringLiteral("the table");
    }
    for (qsizetype b = nBlocks; b < table.size(); ++b) {
        if (table[b] != -2)
            problems << QStringLiteral("unused slot %1 holds %2").arg(b).arg(table[b]);
    }
    int last = -1;
    if (walk(TestAccess::firstFreeBlock(archive), QStringLiteral("the free list"), last) !=
        TestAccess::nFreeBlocks(archive))
        problems << QStringLiteral("the free list is not nFreeBlocks long");
    checkStream(TestAccess::directory(archive), QStringLiteral("the directory"));
    QList<QPair<const FolderEntry*, QString>> folders{{TestAccess::root(archive), QString()}};
    while (!folders.isEmpty()) {
        const auto [folder, path] = folders.takeFirst();
        for (const Entry* child : *folder) {
            const QString childPath = path + QLatin1Char('/') + child->name();
            if (child->isFolder())
                folders.append({static_cast<const FolderEntry*>(child), childPath});
            else
                checkStream(static_cast<const FileEntry*>(child), childPath);
        }
    }
    for (int b = 0; b < nBlocks; ++b) {
        if (owner[b].isEmpty())
            problems << QStringLiteral("block %1 is lost").arg(b);
    }
    return problems;
}

} // namespace KestTest
