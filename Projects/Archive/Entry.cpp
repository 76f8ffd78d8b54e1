#include "Entry.h"

#include "Failure.h"

#include <QtEndian>
#include <QtNumeric>

#include <limits>

namespace Kest::Ar {

// ---- Entry ------------------------------------------------------------------------------

Entry::Entry(const QString& name) : name_(name)
{
}

void Entry::read(QDataStream& in, int, int)
{
    in >> name_;
}

namespace {

void appendBig32(QByteArray& out, quint32 value)
{
    char bytes[4];
    qToBigEndian(value, bytes);
    out.append(bytes, 4);
}

// As QDataStream stores a QString: its length in bytes, then UTF-16 big-endian; a null
// string has the length 0xFFFFFFFF and no characters.
void appendString(QByteArray& out, const QString& text)
{
    if (text.isNull())
        return appendBig32(out, 0xFFFFFFFFu);
    appendBig32(out, quint32(text.size() * 2));
    const qsizetype at = out.size();
    out.resize(at + text.size() * 2);
    qToBigEndian<quint16>(text.utf16(), text.size(), out.data() + at);
}

} // namespace

void Entry::appendTo(QByteArray& out) const
{
    appendString(out, name_);
}

void Entry::write(QDataStream& out) const
{
    QByteArray bytes;
    appendTo(bytes);
    out.writeRawData(bytes.constData(), int(bytes.size()));
}

QString Entry::name() const
{
    return name_;
}

FolderEntry* Entry::parent() const
{
    return parent_;
}

int Entry::level() const
{
    int level = 1;
    for (const FolderEntry* folder = parent_; folder; folder = folder->parent_)
        ++level;
    return level;
}

Entry* Entry::load(QDataStream& in, int sizeWidth, int depth)
{
    qint32 code = 0;
    in >> code;
    Entry* entry = nullptr;
    if (code == FileType) {
        entry = new FileEntry;
    } else if (code == FolderType) {
        entry = new FolderEntry;
    } else {
        note(QStringLiteral("Invalid entry type %1").arg(code));
        return nullptr;
    }
    entry->read(in, sizeWidth, depth);
    return entry;
}

void Entry::store(QByteArray& out) const
{
    appendBig32(out, quint32(type()));
    appendTo(out);
}

// ---- FileEntry --------------------------------------------------------------------------

FileEntry::FileEntry(const QString& name) : Entry(name)
{
}

qint64 FileEntry::size() const
{
    return size_;
}

bool FileEntry::isFolder() const
{
    return false;
}

int FileEntry::type() const
{
    return FileType;
}

void FileEntry::read(QDataStream& in, int sizeWidth, int depth)
{
    Entry::read(in, sizeWidth, depth);
    if (sizeWidth == 4) {
        quint32 narrow = 0;
        in >> narrow;
        size_ = qint64(narrow);
    } else {
        in >> size_;
    }
    in >> firstBlock_ >> lastBlock_;
}

void FileEntry::appendTo(QByteArray& out) const
{
    Entry::appendTo(out);
    appendBig32(out, quint32(quint64(size_) >> 32));
    appendBig32(out, quint32(size_));
    appendBig32(out, quint32(firstBlock_));
    appendBig32(out, quint32(lastBlock_));
}

void FileEntry::setSize(qint64 size)
{
    size_ = size;
}

int FileEntry::firstBlock() const
{
    return firstBlock_;
}

void FileEntry::setFirstBlock(int block)
{
    firstBlock_ = block;
}

int FileEntry::lastBlock() const
{
    return lastBlock_;
}

void FileEntry::setLastBlock(int block)
{
    lastBlock_ = block;
}

bool FileEntry::isUnallocated() const
{
    return firstBlock_ == -1;
}

// ---- FolderEntry ------------------------------------------------------------------------

FolderEntry::FolderEntry(const QString& name) : Entry(name)
{
}

FolderEntry::~FolderEntry()
{
    deleteChildren();
}

// Saturates rather than overflows: sizes come from the file and may be damaged.
qint64 FolderEntry::size() const
{
    qint64 total = 0;
    for (const Entry* child : children_) {
        if (qAddOverflow(total, child->size(), &total))
            return std::numeric_limits<qint64>::max();
    }
    return total;
}

bool FolderEntry::isFolder() const
{
    return true;
}

int FolderEntry::type() const
{
    return FolderType;
}

void FolderEntry::read(QDataStream& in, int sizeWidth, int depth)
{
    Entry::read(in, sizeWidth, depth);
    deleteChildren();
    quint32 count = 0;
    in >> count;
    if (depth > MaxFolderDepth) {
        in.setStatus(QDataStream::ReadCorruptData);
        return;
    }
    readChildren(in, count, sizeWidth, depth);
}

// The stored count is not trusted: no room is reserved for it, and reading stops as soon as
// the stream fails, so a damaged count costs nothing beyond the data actually present.
void FolderEntry::readChildren(QDataStream& in, quint32 count, int sizeWidth, int depth)
{
    for (quint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        Entry* child = Entry::load(in, sizeWidth, depth + 1);
        if (!child) {
            // Nothing tells how long an unknown body is: what follows cannot be read.
            in.setStatus(QDataStream::ReadCorruptData);
            return;
        }
        if (in.status() != QDataStream::Ok) {
            // The stream failed inside this child's body (it ended, or a folder below was
            // refused): only children read whole are kept.
            delete child;
            return;
        }
        addChild(child);
    }
}

void FolderEntry::appendTo(QByteArray& out) const
{
    Entry::appendTo(out);
    appendBig32(out, quint32(children_.size()));
    for (const Entry* child : children_)
        child->store(out);
}

Entry* FolderEntry::child(const QString& name) const
{
    return byName_.value(name, nullptr);
}

bool FolderEntry::contains(const QString& name) const
{
    return child(name) != nullptr;
}

void FolderEntry::addChild(Entry* entry)
{
    entry->parent_ = this;
    children_.append(entry);
    if (!byName_.contains(entry->name_))
        byName_.insert(entry->name_, entry);
}

FileEntry* FolderEntry::newFile(const QString& name)
{
    auto* file = new FileEntry(name);
    addChild(file);
    return file;
}

void FolderEntry::removeChild(Entry* entry)
{
    children_.removeAll(entry);
    const auto indexed = byName_.find(entry->name_);
    if (indexed != byName_.end() && indexed.value() == entry) {
        const auto twin =
            std::find_if(children_.cbegin(), children_.cend(),
                         [entry](const Entry* e) { return e->name_ == entry->name_; });
        if (twin == children_.cend())
            byName_.erase(indexed);
        else
            indexed.value() = *twin;
    }
    delete entry;
}

bool FolderEntry::isEmpty() const
{
    return children_.isEmpty();
}

void FolderEntry::deleteChildren()
{
    qDeleteAll(children_);
    children_.clear();
    byName_.clear();
}

} // namespace Kest::Ar
