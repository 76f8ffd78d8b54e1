#include "Entry.h"

#include <QDebug>
#include <QtNumeric>

#include <limits>

namespace Kest::Ar {

namespace {

// A damaged directory could nest folders deeper than any real tree; reading stops there
// instead of exhausting the stack.
constexpr int MaxFolderDepth = 4096;
thread_local int folderReadDepth = 0;

QString typeText(bool isFolder)
{
    return isFolder ? QStringLiteral("FOLDER") : QStringLiteral("FILE");
}

} // namespace

// ---- Entry ------------------------------------------------------------------------------

Entry::Entry(const QString& name) : name_(name)
{
}

QString Entry::toString() const
{
    return dumpLine(QStringLiteral("name"), name_) +
           dumpLine(QStringLiteral("type"), typeText(isFolder()));
}

void Entry::read(QDataStream& in)
{
    in >> name_;
}

void Entry::write(QDataStream& out) const
{
    out << name_;
}

QString Entry::name() const
{
    return name_;
}

FolderEntry* Entry::parent() const
{
    return parent_;
}

void Entry::setParent(FolderEntry* folder)
{
    parent_ = folder;
}

Entry* Entry::load(QDataStream& in)
{
    qint32 code = 0;
    in >> code;
    Entry* entry = nullptr;
    if (code == FileType) {
        entry = new FileEntry;
    } else if (code == FolderType) {
        entry = new FolderEntry;
    } else {
        qDebug("Invalid entry type %d", code);
        return nullptr;
    }
    entry->read(in);
    return entry;
}

void Entry::store(QDataStream& out) const
{
    out << qint32(type());
    write(out);
}

QString Entry::dumpLine(const QString& key, const QString& value)
{
    return key + QStringLiteral(" \t=\t ") + value + QLatin1Char('\n');
}

// ---- FileEntry --------------------------------------------------------------------------

int FileEntry::sizeWidth = 8;

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

QString FileEntry::toString() const
{
    return Entry::toString() + dumpLine(QStringLiteral("size"), QString::number(size_)) +
           dumpLine(QStringLiteral("firstBlock"), QString::number(firstBlock_)) +
           dumpLine(QStringLiteral("lastBlock"), QString::number(lastBlock_));
}

void FileEntry::read(QDataStream& in)
{
    Entry::read(in);
    if (sizeWidth == 4) {
        quint32 narrow = 0;
        in >> narrow;
        size_ = qint64(narrow);
    } else {
        in >> size_;
    }
    in >> firstBlock_ >> lastBlock_;
}

void FileEntry::write(QDataStream& out) const
{
    Entry::write(out);
    out << size_ << qint32(firstBlock_) << qint32(lastBlock_);
}

int FileEntry::type() const
{
    return FileType;
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

void FileEntry::setSizeWidth(int width)
{
    sizeWidth = width;
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

QString FolderEntry::toString() const
{
    QString text = Entry::toString() +
                   dumpLine(QStringLiteral("nChildren"), QString::number(children_.size()));
    for (const Entry* child : children_)
        text += QStringLiteral("*** child ***\n") + child->toString();
    return text;
}

void FolderEntry::read(QDataStream& in)
{
    Entry::read(in);
    deleteChildren();
    quint32 count = 0;
    in >> count;
    if (folderReadDepth >= MaxFolderDepth) {
        in.setStatus(QDataStream::ReadCorruptData);
        return;
    }
    ++folderReadDepth;
    readChildren(in, count);
    --folderReadDepth;
}

// The stored count is not trusted: no room is reserved for it, and reading stops as soon as
// the stream fails, so a damaged count costs nothing beyond the data actually present.
void FolderEntry::readChildren(QDataStream& in, quint32 count)
{
    for (quint32 i = 0; i < count && in.status() == QDataStream::Ok; ++i) {
        Entry* child = Entry::load(in);
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

void FolderEntry::write(QDataStream& out) const
{
    Entry::write(out);
    out << qint32(children_.size());
    for (const Entry* child : children_)
        child->store(out);
}

int FolderEntry::type() const
{
    return FolderType;
}

Entry* FolderEntry::child(const QString& name) const
{
    for (Entry* entry : children_) {
        if (entry->name_ == name)
            return entry;
    }
    return nullptr;
}

bool FolderEntry::contains(const QString& name) const
{
    return child(name) != nullptr;
}

void FolderEntry::addChild(Entry* entry)
{
    entry->setParent(this);
    children_.append(entry);
}

FileEntry* FolderEntry::newFile(const QString& name)
{
    auto* file = new FileEntry(name);
    addChild(file);
    return file;
}

void FolderEntry::removeChild(Entry* entry)
{
    delete entry;
    children_.removeAll(entry);
}

bool FolderEntry::rename(Entry* entry, const QString& name)
{
    if (contains(name))
        return false;
    entry->name_ = name;
    return true;
}

bool FolderEntry::isEmpty() const
{
    return children_.isEmpty();
}

void FolderEntry::deleteChildren()
{
    qDeleteAll(children_);
    children_.clear();
}

QDataStream& operator>>(QDataStream& in, Entry& entry)
{
    entry.read(in);
    return in;
}

QDataStream& operator<<(QDataStream& out, const Entry& entry)
{
    entry.write(out);
    return out;
}

} // namespace Kest::Ar
