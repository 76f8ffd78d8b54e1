// The public archive: a facade that hands every operation to ArchivePrivate and turns what
// it throws into error() and errorString().

#include "Archive.h"

#include "ArchivePrivate.h"
#include "File.h"

#include <QFileInfo>

#include <memory>

namespace Kest::Ar {

namespace {
constexpr qint64 CopyChunkSize = 16384;

// Copies until the source ends; succeeds only when the source delivered exactly as many bytes
// as it reports for its size and every chunk was written whole.
void copy(QIODevice& from, QIODevice& to, const QString& fromName, const QString& toName)
{
    const auto buffer = std::make_unique<char[]>(CopyChunkSize);
    qint64 total = 0;
    while (!from.atEnd()) {
        const qint64 count = from.read(buffer.get(), CopyChunkSize);
        if (count <= 0)
            break;
        total += count;
        if (to.write(buffer.get(), count) != count)
            fail(Archive::Error::IoError, QStringLiteral("Failed to copy %1 to %2: %3")
                                              .arg(fromName, toName, to.errorString()));
    }
    if (total != from.size())
        fail(Archive::Error::IoError, QStringLiteral("Failed to copy %1 to %2: %3")
                                          .arg(fromName, toName, from.errorString()));
}

// A member file's failure as the archive's own.
[[noreturn]] void failWith(const File& member)
{
    fail(member.error(), member.errorString());
}

} // namespace

// ---- Version ------------------------------------------------------------------------------

Archive::Version::Version(int major, int minor, int patch)
    : major(major), minor(minor), patch(patch)
{
}

Archive::Version::Version(const QString& text) : major(0), minor(0), patch(0)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    if (parts.size() > 3)
        return;
    int* fields[] = {&major, &minor, &patch};
    for (int i = 0; i < parts.size(); ++i)
        *fields[i] = parts[i].toInt(nullptr, 10);
}

// ---- Construction, state and errors -------------------------------------------------------

Archive::Archive(const QString& name, unsigned int blockSize)
    : d(std::make_unique<ArchivePrivate>(name, blockSize))
{
}

Archive::~Archive()
{
    d->attempt([this] { d->close(); });
}

Archive::Error Archive::error() const
{
    return d->error_;
}

QString Archive::errorString() const
{
    return d->errorString_;
}

unsigned int Archive::blockSize() const
{
    return d->header.blockSize;
}

Archive::Version Archive::applicationVersion() const
{
    return d->header.applicationVersion;
}

void Archive::setApplicationVersion(const Version& v)
{
    d->setApplicationVersion(v);
}

int Archive::mode() const
{
    return int(d->mode_);
}

QString Archive::name() const
{
    return d->container.path();
}

QFile& Archive::getFile()
{
    return d->container.file();
}

void Archive::setFile(const QString& name)
{
    d->attempt([&] {
        if (d->isOpen())
            fail(Error::InvalidArgument, QStringLiteral("setFile: %1 is open").arg(this->name()));
        d->container.setPath(name);
    });
}

int Archive::formatVersion() const
{
    return d->header.formatVersion;
}

// ---- Lifecycle ----------------------------------------------------------------------------

bool Archive::open(QIODevice::OpenMode mode)
{
    return d->attempt([&] { d->open(mode); });
}

void Archive::close()
{
    d->attempt([this] { d->close(); });
}

qint64 Archive::size() const
{
    return d->directory.root().size();
}

bool Archive::isArchive(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        note(QStringLiteral("Cannot open %1").arg(path));
        return false;
    }
    return Header::hasSignature(file.read(4));
}

bool Archive::isLocked(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists() || !info.isFile()) {
        note(QStringLiteral("isLocked: %1 is not an existing file").arg(path));
        return false;
    }
    Archive archive(path);
    return !archive.open(QIODevice::ReadOnly);
}

// An archive that must be recovered but cannot be written still has a committed version:
// the one its journal holds.
Archive::Version Archive::peekVersion(const QString& path)
{
    Archive archive(path);
    if (archive.open(QIODevice::ReadOnly))
        return archive.applicationVersion();
    Version version;
    if (archive.error() == Error::Corrupt && Container::hasJournal(path))
        guarded(
            [&] {
                version = Header::decode(Container::committedStart(path, Header::AreaSize))
                              .applicationVersion;
            },
            [](Error, const QString&) {});
    return version;
}

bool Archive::writeBack()
{
    return d->attempt([this] {
        d->requireWritable("writeBack");
        d->autoCommit();
    });
}

void Archive::setDurability(Durability durability)
{
    d->setDurability(durability);
}

Archive::Durability Archive::durability() const
{
    return d->durability();
}

bool Archive::beginTransaction()
{
    return d->attempt([this] { d->beginTransaction(); });
}

bool Archive::commit()
{
    return d->attempt([this] { d->commitTransaction(); });
}

bool Archive::rollback()
{
    return d->attempt([this] { d->rollbackTransaction(); });
}

// ---- The tree -----------------------------------------------------------------------------

bool Archive::removeFile(const QString& path)
{
    return d->attempt([&] { d->removeFile(path); });
}

QString Archive::currentFolder() const
{
    d->setError(Error::NoError, QString());
    return d->directory.currentFolderPath();
}

bool Archive::setCurrentFolder(const QString& path)
{
    return d->attempt([&] { d->directory.setCurrentFolder(path); });
}

bool Archive::makeFolder(const QString& path)
{
    return d->attempt([&] {
        d->requireWritable("makeFolder");
        d->directory.makeFolder(path);
    });
}

bool Archive::removeFolder(const QString& path)
{
    return d->attempt([&] {
        d->requireWritable("removeFolder");
        d->directory.removeFolder(path);
    });
}

bool Archive::fileExists(const QString& path) const
{
    d->setError(Error::NoError, QString());
    if (path == Directory::streamName())
        return true;
    const Entry* entry = d->directory.find(path);
    return entry && !entry->isFolder();
}

QList<QString> Archive::list(Filter filter) const
{
    d->setError(Error::NoError, QString());
    QList<QString> names;
    for (const Entry* child : d->directory.current()) {
        if ((filter == Files && child->isFolder()) || (filter == Folders && !child->isFolder()))
            continue;
        names.append(child->name());
    }
    return names;
}

QList<Archive::EntryInfo> Archive::entries(const QString& folderPath) const
{
    QList<EntryInfo> infos;
    d->attempt([&] {
        for (const Entry* child : d->directory.folder(folderPath, "entries"))
            infos.append(EntryInfo{child->name(), child->isFolder(), child->size()});
    });
    return infos;
}

Archive::EntryInfo Archive::entryInfo(const QString& path) const
{
    EntryInfo info;
    d->attempt([&] {
        const Entry* entry = d->directory.find(path);
        if (!entry)
            fail(Error::NotFound, QStringLiteral("entryInfo: %1 does not exist").arg(path));
        const bool isRoot = entry == &d->directory.root();
        info = EntryInfo{isRoot ? QStringLiteral("/") : entry->name(), entry->isFolder(),
                         entry->size()};
    });
    return info;
}

// ---- Import and export --------------------------------------------------------------------

// The member is declared after the host file, so it is closed (and written back) first on
// every path; a member that received only part of the host file stays as written.
bool Archive::importFileFromDisk(const QString& archivePath, const QString& diskPath)
{
    return d->attempt([&] {
        if (!QFile::exists(diskPath))
            fail(Error::NotFound, QStringLiteral("%1 does not exist on disk").arg(diskPath));
        QFile source(diskPath);
        if (!source.open(QIODevice::ReadOnly))
            fail(Error::IoError, QStringLiteral("Cannot open %1 to read").arg(diskPath));
        File member(this, archivePath);
        if (!member.open(QIODevice::WriteOnly))
            failWith(member);
        copy(source, member, diskPath, archivePath);
        member.close();
        if (member.error() != Error::NoError)
            failWith(member);
    });
}

bool Archive::exportFileToDisk(const QString& archivePath, const QString& diskPath)
{
    return d->attempt([&] {
        File member(this, archivePath);
        if (!member.open(QIODevice::ReadOnly))
            failWith(member);
        // Unbuffered, so that a host file that refuses bytes (a full disk) fails the write in
        // copy() instead of a buffered chunk being lost unnoticed when the file is closed.
        QFile target(diskPath);
        if (!target.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
            fail(Error::IoError, QStringLiteral("Cannot open %1 to write").arg(diskPath));
        copy(member, target, archivePath, diskPath);
    });
}

// ---- Reports ------------------------------------------------------------------------------

double Archive::fragmentation(FragmentationType type) const
{
    d->setError(Error::NoError, QString());
    const int blocks = d->table.blockCount();
    if (blocks == 0)
        return 0.0;
    const int free = d->table.freeCount();
    if (type == InternalFragmentation) {
        const qint64 used = qint64(blocks - free) * qint64(d->header.blockSize);
        return double(used - d->directory.root().size()) / double(used);
    }
    return double(free) / double(blocks);
}

Archive::Statistics Archive::statistics() const
{
    d->setError(Error::NoError, QString());
    return d->statistics();
}

QStringList Archive::check() const
{
    QStringList problems;
    d->attempt([&] { problems = d->check(); });
    return problems;
}

} // namespace Kest::Ar
