#pragma once

// Helpers shared by the tests of block storage: the on-disk form of table blocks, the state
// of an archive before its first allocation, chain walks and a recorder of debug messages.

#include "Archive.h"
#include "Entry.h"
#include "TestAccess.h"
#include "TestSupport.h"

#include <QFile>
#include <QList>
#include <QStringList>
#include <QtEndian>

#include <stdexcept>

namespace KestTest {

using Kest::Ar::Archive;
using Kest::Ar::TestAccess;

// The two markers of the allocation table as they appear in memory and on disk.
constexpr int EndOfChain = -1;
constexpr int Invalid = -2;

// The file offset at which block `block` begins.
inline qint64 blockOffset(qint64 headerSize, qint64 blockSize, qint64 block)
{
    return headerSize + block * blockSize;
}

inline qint64 blockOffset(Archive& a, qint64 block)
{
    return blockOffset(TestAccess::headerSize(a), TestAccess::blockSize(a), block);
}

// `count` big-endian 32-bit entries stored in `bytes` from `at` on.
inline QList<int> decodeEntries(const QByteArray& bytes, qint64 at, int count)
{
    QList<int> entries;
    for (int i = 0; i < count; ++i) {
        const qint64 where = at + 4 * qint64(i);
        if (where + 4 > bytes.size())
            break;
        entries.append(qFromBigEndian<qint32>(bytes.constData() + where));
    }
    return entries;
}

inline QByteArray encodeEntries(const QList<int>& entries)
{
    QByteArray bytes;
    for (int entry : entries)
        bytes += be32(entry);
    return bytes;
}

// The entries that the table block `batBlock` holds in the archive file right now.
inline QList<int> storedTableBlock(Archive& a, int batBlock)
{
    TestAccess::file(a).flush();
    const QByteArray bytes = readHostFile(a.name());
    return decodeEntries(bytes, blockOffset(a, batBlock), TestAccess::nBlocksPerCluster(a));
}

// The entries of cluster `c` in memory.
inline QList<int> tableOfCluster(Archive& a, int c)
{
    const int n = TestAccess::nBlocksPerCluster(a);
    return TestAccess::table(a).mid(qsizetype(c) * n, n);
}

// Opens the file of an archive object that was never opened and writes its header: the state
// of a new archive right before its first allocation (no block, no table).
inline bool openBare(Archive& a)
{
    if (!TestAccess::file(a).open(QIODevice::ReadWrite))
        return false;
    TestAccess::writeHeader(a);
    return TestAccess::file(a).flush();
}

// The blocks of the chain that starts at `first`, following the table in memory; stops at
// END_OF_CHAIN, at a link outside the table, or after as many steps as there are blocks.
inline QList<int> chainFrom(Archive& a, int first)
{
    QList<int> chain;
    const QList<int>& table = TestAccess::table(a);
    for (int block = first; block >= 0 && block < TestAccess::nBlocks(a); block = table[block]) {
        chain.append(block);
        if (chain.size() > TestAccess::nBlocks(a))
            break;
    }
    return chain;
}

// The free list, walked as chainFrom walks a chain.
inline QList<int> freeList(Archive& a)
{
    const int head = TestAccess::firstFreeBlock(a);
    return head == EndOfChain ? QList<int>() : chainFrom(a, head);
}

// Writes `bytes` as the whole content of block `block`, through the archive.
inline bool writeWholeBlock(Archive& a, int block, const QByteArray& bytes)
{
    TestAccess::toPosition(a, block);
    return TestAccess::writeData(a, bytes.constData(), bytes.size()) == bytes.size();
}

// The text of the std::runtime_error that `call` throws, or an empty text when it throws none.
template <typename Call> QString failureOf(Call call)
{
    try {
        call();
    } catch (const std::runtime_error& failure) {
        return QString::fromLatin1(failure.what());
    }
    return QString();
}

// Records Qt's messages while it lives, for checks whose message count depends on the data
// (a QIODevice may call its reader more than once). Messages are not passed on.
class MessageLog
{
public:
    MessageLog() : previous_(qInstallMessageHandler(&MessageLog::handle)) { current() = this; }
    ~MessageLog()
    {
        qInstallMessageHandler(previous_);
        current() = nullptr;
    }
    MessageLog(const MessageLog&) = delete;
    MessageLog& operator=(const MessageLog&) = delete;

    const QStringList& messages() const { return messages_; }
    int count(const QString& text) const { return int(messages_.count(text)); }
    bool containsStart(const QString& start) const
    {
        for (const QString& message : messages_) {
            if (message.startsWith(start))
                return true;
        }
        return false;
    }

private:
    static MessageLog*& current()
    {
        static MessageLog* log = nullptr;
        return log;
    }
    static void handle(QtMsgType, const QMessageLogContext&, const QString& text)
    {
        if (current())
            current()->messages_.append(text);
    }

    QtMessageHandler previous_;
    QStringList messages_;
};

} // namespace KestTest
