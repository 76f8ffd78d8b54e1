#include "Directory.h"

#include "AllocationTable.h"
#include "ChainCursor.h"
#include "Container.h"
#include "Failure.h"
#include "Header.h"

#include <QDataStream>

namespace Kest::Ar {

QString Directory::streamName()
{
    return QStringLiteral("qel_dir");
}

QString Directory::rootName()
{
    return QStringLiteral("qel_root");
}

namespace {

const QChar Separator = QLatin1Char('/');

bool isRootPath(const QString& path)
{
    return !path.isEmpty() && path.count(Separator) == path.size();
}

QString withoutTrailingSeparators(QString path)
{
    while (path.endsWith(Separator))
        path.chop(1);
    return path;
}

QString operationText(const char* operation, const QString& text)
{
    return QLatin1String(operation) + QStringLiteral(": ") + text;
}

} // namespace

Directory::Directory() : stream_(streamName())
{
    reset();
}

void Directory::reset()
{
    root_ = std::make_unique<FolderEntry>(rootName());
    current_ = root_.get();
    stream_.setSize(0);
    stream_.setFirstBlock(AllocationTable::EndOfChain);
    stream_.setLastBlock(AllocationTable::EndOfChain);
    stored_.clear();
    changed_ = false;
}

// ---- The stream ---------------------------------------------------------------------------

void Directory::load(AllocationTable& table, Container& container, const Header& header)
{
    reset();
    stream_.setSize(header.directorySize);
    stream_.setFirstBlock(header.directoryFirst);
    stream_.setLastBlock(header.directoryLast);
    // The stored size is not trusted further than the file reaches.
    QByteArray bytes(qMin(header.directorySize, container.size()), '\0');
    ChainCursor cursor(table, container, header.directoryFirst);
    if (bytes.size() != header.directorySize ||
        cursor.read(bytes.data(), bytes.size()) != bytes.size())
        fail(Archive::Error::Corrupt, QStringLiteral("readDirectory: I/O error"));
    QDataStream in(bytes);
    root_->read(in, header.sizeWidth());
    if (in.status() != QDataStream::Ok)
        fail(Archive::Error::Corrupt, QStringLiteral("readDirectory: I/O error"));
    stored_ = bytes;
}

// Writes only the blocks whose bytes differ from what the stream holds now; the chain grows
// or shrinks at its end. A commit that changed one folder near the end of the tree writes a
// block or two, whatever the size of the tree.
void Directory::store(AllocationTable& table, Container& container)
{
    const QByteArray bytes = encode();
    const qint64 blockSize = table.blockSize();
    ChainCursor cursor(table, container, stream_.firstBlock());
    const bool hadBlocks = cursor.firstBlock() != AllocationTable::EndOfChain;
    bool lastWritten = false;
    for (qint64 at = 0; at < bytes.size(); at += blockSize) {
        const qint64 length = qMin(blockSize, bytes.size() - at);
        if (hadBlocks && at + length <= stored_.size() &&
            memcmp(bytes.constData() + at, stored_.constData() + at, size_t(length)) == 0)
            continue;
        if (!cursor.seek(at))
            fail(Archive::Error::Corrupt,
                 QStringLiteral("writeDirectory: the directory's chain ends before byte %1")
                     .arg(at));
        cursor.write(bytes.constData() + at, length);
        lastWritten = at + length == bytes.size();
    }
    if (!cursor.seek(bytes.size()))
        fail(Archive::Error::Corrupt,
             QStringLiteral("writeDirectory: the directory's chain is damaged"));
    stream_.setFirstBlock(cursor.firstBlock());
    stream_.setLastBlock(cursor.endHere(lastWritten || bytes.size() != stored_.size()));
    stream_.setSize(bytes.size());
    stored_ = bytes;
    changed_ = false;
}

QByteArray Directory::encode() const
{
    QByteArray bytes;
    bytes.reserve(stored_.size() + 64);
    root_->appendTo(bytes);
    return bytes;
}

FolderEntry& Directory::root()
{
    return *root_;
}

const FolderEntry& Directory::root() const
{
    return *root_;
}

FileEntry& Directory::stream()
{
    return stream_;
}

const FileEntry& Directory::stream() const
{
    return stream_;
}

bool Directory::isChanged() const
{
    return changed_;
}

void Directory::setChanged()
{
    changed_ = true;
}

// ---- Paths --------------------------------------------------------------------------------

Entry* Directory::Target::entry() const
{
    return folder ? folder->child(name) : nullptr;
}

Directory::Target Directory::resolve(const QString& path, const char* operation) const
{
    Target target;
    if (isRootPath(path)) {
        target.isRoot = true;
        target.name = QStringLiteral("/");
        return target;
    }
    const QString trimmed = withoutTrailingSeparators(path);
    target.name = trimmed.section(Separator, -1, -1);
    if (!trimmed.startsWith(Separator)) {
        target.folder = current_;
        return target;
    }
    QStringList components = trimmed.split(Separator, Qt::SkipEmptyParts);
    components.removeLast();
    FolderEntry* folder = root_.get();
    for (const QString& component : components) {
        Entry* child = folder->child(component);
        if (!child)
            fail(Archive::Error::NotFound,
                 operationText(operation,
                               QStringLiteral("parent of %1 does not exist").arg(target.name)));
        if (!child->isFolder())
            fail(Archive::Error::NotAFolder,
                 operationText(operation, QStringLiteral("%1 is not a folder").arg(component)));
        folder = static_cast<FolderEntry*>(child);
    }
    target.folder = folder;
    return target;
}

const FolderEntry& Directory::folder(const QString& path, const char* operation) const
{
    const Target target = resolve(path, operation);
    if (target.isRoot)
        return *root_;
    const Entry* entry = target.entry();
    if (!entry)
        fail(Archive::Error::NotFound,
             operationText(operation, QStringLiteral("%1 does not exist").arg(target.name)));
    if (!entry->isFolder())
        fail(Archive::Error::NotAFolder,
             operationText(operation, QStringLiteral("%1 is not a folder").arg(target.name)));
    return *static_cast<const FolderEntry*>(entry);
}

const Entry* Directory::find(const QString& path) const
{
    try {
        const Target target = resolve(path, "find");
        return target.isRoot ? root_.get() : target.entry();
    } catch (const Failure&) {
        return nullptr;
    }
}

const FolderEntry& Directory::current() const
{
    return *current_;
}

QString Directory::currentFolderPath() const
{
    return current_ == root_.get() ? QStringLiteral("/") : current_->name();
}

void Directory::setCurrentFolder(const QString& path)
{
    current_ = const_cast<FolderEntry*>(&folder(path, "setCurrentFolder"));
}

void Directory::makeFolder(const QString& path)
{
    const Target target = resolve(path, "makeFolder");
    if (target.isRoot || target.folder->contains(target.name))
        fail(Archive::Error::AlreadyExists,
             QStringLiteral("makeFolder: %1 already exists").arg(target.name));
    if (target.folder->level() >= MaxFolderDepth)
        fail(Archive::Error::InvalidArgument,
             QStringLiteral("makeFolder: %1 would be nested deeper than %2 folders")
                 .arg(target.name)
                 .arg(MaxFolderDepth));
    target.folder->addChild(new FolderEntry(target.name));
    changed_ = true;
}

void Directory::removeFolder(const QString& path)
{
    const Target target = resolve(path, "removeFolder");
    if (target.isRoot)
        fail(Archive::Error::InvalidArgument,
             QStringLiteral("removeFolder: the root folder cannot be removed"));
    Entry* entry = target.entry();
    if (!entry) {
        note(QStringLiteral("removeFolder: %1 does not exist").arg(target.name));
        return;
    }
    if (!entry->isFolder())
        fail(Archive::Error::NotAFolder,
             QStringLiteral("removeFolder: %1 is not a folder").arg(target.name));
    auto* folder = static_cast<FolderEntry*>(entry);
    if (!folder->isEmpty())
        fail(Archive::Error::NotEmpty,
             QStringLiteral("removeFolder: %1 is not empty").arg(target.name));
    if (folder == current_)
        fail(Archive::Error::InUse,
             QStringLiteral("removeFolder: %1 is the current folder").arg(target.name));
    target.folder->removeChild(folder);
    changed_ = true;
}

FileEntry& Directory::member(const QString& path, const char* operation)
{
    return memberAt(resolve(path, operation), operation);
}

FileEntry& Directory::memberAt(const Target& target, const char* operation)
{
    Entry* entry = target.isRoot ? root_.get() : target.entry();
    if (!entry)
        fail(Archive::Error::NotFound,
             operationText(operation, QStringLiteral("%1 does not exist").arg(target.name)));
    if (entry->isFolder())
        fail(Archive::Error::NotAFile,
             operationText(operation, QStringLiteral("%1 is not a file").arg(target.name)));
    return *static_cast<FileEntry*>(entry);
}

FileEntry& Directory::memberOrNew(const QString& path, const char* operation)
{
    const Target target = resolve(path, operation);
    if (!target.isRoot && !target.entry()) {
        changed_ = true;
        return *target.folder->newFile(target.name);
    }
    return memberAt(target, operation);
}

void Directory::remove(FileEntry& member)
{
    member.parent()->removeChild(&member);
    changed_ = true;
}

} // namespace Kest::Ar
