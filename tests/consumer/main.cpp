// Creates an archive, writes a member in a folder, and reads it back through a second archive
// object: what the smallest host application does. Exits 0 when everything matched.

#include <KestArchive/Archive.h>
#include <KestArchive/File.h>

#include <QByteArray>
#include <QTemporaryDir>

#include <cstdio>

// The public classes hold one pointer, so that their layout never changes under a host.
static_assert(sizeof(Kest::Ar::Archive) == sizeof(void*), "Archive is more than its pointer");

namespace {

int failed(const char* what)
{
    std::fprintf(stderr, "kest_consumer: %s\n", what);
    return 1;
}

} // namespace

int main()
{
    QTemporaryDir dir;
    if (!dir.isValid())
        return failed("no temporary directory");
    const QString path = dir.filePath(QStringLiteral("consumer.kar"));
    QByteArray payload;
    for (int i = 0; i < 10000; ++i)
        payload.append(char('a' + i % 26));

    {
        Kest::Ar::Archive archive(path);
        archive.setApplicationVersion(Kest::Ar::Archive::Version(QStringLiteral("2.5.1")));
        if (!archive.open(QIODevice::ReadWrite))
            return failed("cannot create the archive");
        if (!archive.makeFolder(QStringLiteral("/docs")))
            return failed("cannot make a folder");
        Kest::Ar::File member(&archive, QStringLiteral("/docs/hello.txt"));
        if (!member.open(QIODevice::WriteOnly))
            return failed("cannot open a member for writing");
        if (member.write(payload) != payload.size())
            return failed("short write");
        member.close();
        archive.close();
    }

    if (!Kest::Ar::Archive::isArchive(path))
        return failed("the file is not recognised as an archive");
    const Kest::Ar::Archive::Version version = Kest::Ar::Archive::peekVersion(path);
    if (version.major != 2 || version.minor != 5 || version.patch != 1)
        return failed("the application version did not survive");

    Kest::Ar::Archive archive(path);
    if (!archive.open(QIODevice::ReadOnly))
        return failed("cannot reopen the archive");
    if (archive.size() != payload.size())
        return failed("wrong total size");
    if (!archive.setCurrentFolder(QStringLiteral("/docs")) ||
        archive.list(Kest::Ar::Archive::Files) != QList<QString>{QStringLiteral("hello.txt")})
        return failed("the folder does not list the member");
    Kest::Ar::File member(&archive, QStringLiteral("/docs/hello.txt"));
    if (!member.open(QIODevice::ReadOnly))
        return failed("cannot open the member for reading");
    if (member.readAll() != payload)
        return failed("the member reads back different bytes");
    std::printf("kest_consumer: ok\n");
    return 0;
}
