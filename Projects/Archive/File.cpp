// A member file as a QIODevice.
//
// Member position p lies in block index p / B of the member's chain at offset p % B, except
// that a non-zero multiple of B is the end of the previous block (offset B): a write there
// continues at the end of the last existing block and grows the chain only when it needs a
// byte beyond it.
//
// Invariants while open: 0 <= pos_ <= size_; the archive's current position is the place of
// byte pos_ (as long as nothing else moved it); the chain covers at least size_ bytes. The
// entry's size and last block change only at open (new member), close and truncate.

#include "File.h"

#include "ArchiveInternal.h"
#include "Entry.h"

#include <QScopeGuard>

namespace Kest::Ar {

using Internal::reportFailure;

namespace {
QByteArray printable(const QString& text)
{
    return text.toLatin1();
}
} // namespace

File::File(Archive* archive, const QString& name) : archive_(archive), name_(name)
{
}

File::~File()
{
    try {
        close();
    } catch (const std::exception& failure) {
        qDebug("~File: %s: %s", printable(name_).constData(), failure.what());
    }
}

bool File::isDirectoryStream() const
{
    return name_ == Archive::DirectoryName;
}

bool File::open(OpenMode mode)
{
    if (isOpen()) {
        qDebug("open: %s is already open", printable(name_).constData());
        return false;
    }
    QIODevice::open(mode);
    size_ = 0;
    pos_ = 0;
    if (!openEntry(mode))
        return fail();
    archive_->registerOpenFile(entry_);
    return true;
}

bool File::fail()
{
    setOpenMode(NotOpen);
    return false;
}

bool File::openEntry(OpenMode mode)
{
    if (archive_->mode() == QIODevice::ReadOnly && (mode & WriteOnly)) {
        qDebug("open: archive is read-only");
        return false;
    }
    if ((mode & ReadOnly) && !archive_->fileExists(name_)) {
        qDebug("open: %s must already exist", printable(name_).constData());
        return false;
    }
    entry_ = archive_->fileEntry(name_);
    if (!entry_)
        return false;
    if (!entry_->isUnallocated() && !archive_->isBlock(entry_->firstBlock())) {
        qDebug("open: %s is damaged: its first block %d is not a block of the archive",
               printable(name_).constData(), entry_->firstBlock());
        return false;
    }
    try {
        if (entry_->isUnallocated()) {
            if (archive_->isWritable())
                giveFirstBlock();
        } else if (mode & (ReadOnly | Append)) {
            size_ = entry_->size();
        }
        const qint64 start = (mode & Append) ? size_ : 0;
        if (!seek(start)) {
            qDebug("Cannot move file to pos %lld", start);
            return false;
        }
        return true;
    } catch (const std::runtime_error& failure) {
        // In practice the archive could not grow to give the member its first block.
        reportFailure(failure);
        entry_ = nullptr;
        if (!isDirectoryStream())
            removeUnopenableMember();
        return false;
    }
}

void File::giveFirstBlock()
{
    const int block = archive_->newBlock();
    entry_->setFirstBlock(block);
    entry_->setLastBlock(block);
    entry_->setSize(0);
}

void File::removeUnopenableMember()
{
    try {
        archive_->removeFile(name_);
    } catch (const std::runtime_error& failure) {
        reportFailure(failure);
    }
}

Archive::Position File::memberPosition(qint64 pos) const
{
    const qint64 blockSize = archive_->blockSize();
    qint64 index = pos / blockSize;
    qint64 offset = pos % blockSize;
    if (index > 0 && offset == 0) {
        --index;
        offset = blockSize;
    }
    // A size beyond any possible chain comes from a damaged entry.
    if (index >= archive_->nBlocks_)
        return Archive::Position(Archive::INVALID, 0);
    return Archive::Position(archive_->globalBlock(entry_->firstBlock(), int(index)), offset);
}

bool File::seek(qint64 pos)
{
    if (!isOpen() || pos < 0 || pos > size_ || !entry_ || entry_->isUnallocated())
        return false;
    const Archive::Position target = memberPosition(pos);
    if (target.block == Archive::INVALID)
        return false;
    try {
        archive_->toPosition(target);
    } catch (const std::runtime_error& failure) {
        reportFailure(failure);
        return false;
    }
    QIODevice::seek(pos);
    pos_ = pos;
    return true;
}

qint64 File::size() const
{
    return size_;
}

qint64 File::readData(char* data, qint64 maxSize)
{
    if (!(openMode() & ReadOnly))
        return -1;
    const qint64 wanted = qMin(maxSize, size_ - pos_);
    const qint64 count = archive_->readData(data, wanted);
    if (count == -1)
        return -1;
    pos_ += count;
    if (count < wanted)
        qDebug("readData: %s is damaged: its chain ends before its size",
               printable(name_).constData());
    return count;
}

qint64 File::writeData(const char* data, qint64 size)
{
    if (!(openMode() & WriteOnly))
        return -1;
    const qint64 count = archive_->writeData(data, size);
    if (count == -1)
        return -1;
    pos_ += count;
    size_ = qMax(size_, pos_);
    return count;
}

// With the archive positioned at the member's new end: completes the last block on disk,
// gives back every block after it and records the new end in the entry.
void File::writeBackEnd()
{
    archive_->fillCurrentBlock();
    const int last = archive_->currentPosition().block;
    archive_->releaseChainAfter(last);
    entry_->setLastBlock(last);
    entry_->setSize(size_);
}

void File::close()
{
    if (!isOpen())
        return;
    const auto closeDevice = qScopeGuard([this] {
        archive_->unregisterOpenFile(entry_);
        QIODevice::close();
    });
    if (!(openMode() & WriteOnly))
        return;
    if (!seek(size_)) {
        qDebug("close: cannot move to the end of %s; nothing is written back",
               printable(name_).constData());
        return;
    }
    writeBackEnd();
    archive_->flush(!isDirectoryStream());
}

bool File::truncate()
{
    if (!(openMode() & WriteOnly) || isDirectoryStream() || pos_ > size_)
        return false;
    // QIODevice may have read ahead of the position its user sees: cut where the user is.
    if (pos() != pos_ && !seek(pos()))
        return false;
    size_ = pos_;
    const Archive::Position end = archive_->currentPosition();
    writeBackEnd();
    flushArchiveKeepingPosition(end);
    // Bytes that QIODevice read ahead now lie past the end. Moving its position back and
    // forth empties its buffer (a move backwards always does), so later reads come from here.
    QIODevice::seek(pos_ > 0 ? pos_ - 1 : 1);
    QIODevice::seek(pos_);
    return true;
}

void File::flush()
{
    if (openMode() & WriteOnly)
        flushArchiveKeepingPosition(archive_->currentPosition());
}

// The archive's flush moves its position; transfers go on from `resume` afterwards.
void File::flushArchiveKeepingPosition(const Archive::Position& resume)
{
    archive_->flush(true);
    archive_->toPosition(resume);
}

QString File::name() const
{
    return name_;
}

} // namespace Kest::Ar
