// A first host program: create an archive, make a folder, write a member file and read it
// back, copy files in and out, list a folder and check the archive.
//
//   hello_archive [FOLDER]      works in FOLDER (a new temporary folder by default)

#include <KestArchive/Archive.h>
#include <KestArchive/File.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstdio>

using Kest::Ar::Archive;
using Kest::Ar::File;

int main(int argc, char* argv[])
{
    QTemporaryDir temporary;
    const QDir here(argc > 1 ? QString::fromLocal8Bit(argv[1]) : temporary.path());
    const QString path = here.filePath("hello.kar");
    QFile::remove(path);

    // ReadWrite on a missing file creates the archive; the version goes into its header.
    Archive archive(path);
    archive.setApplicationVersion(Archive::Version("1.0.0"));
    if (!archive.open(QIODevice::ReadWrite))
        return 1;

    // Folders change in memory and reach the file with the next write-back: a member closed,
    // writeBack(), or closing the archive.
    if (!archive.makeFolder("/notes")) {
        std::fprintf(stderr, "%s\n", qPrintable(archive.errorString()));
        return 1;
    }

    // A member file is a QIODevice. Closing it (here: leaving the scope) writes it back.
    const QByteArray text = "Hello, archive!\n";
    {
        File note(&archive, "/notes/hello.txt");
        if (!note.open(QIODevice::WriteOnly) || note.write(text) != text.size())
            return 1;
    }
    {
        File note(&archive, "/notes/hello.txt");
        if (!note.open(QIODevice::ReadOnly) || note.readAll() != text)
            return 1;
    }

    // Whole host files in and out.
    QFile host(here.filePath("greeting.txt"));
    if (!host.open(QIODevice::WriteOnly) || host.write("Greetings from the host.\n") < 0)
        return 1;
    host.close();
    if (!archive.importFileFromDisk("/notes/greeting.txt", host.fileName()) ||
        !archive.exportFileToDisk("/notes/hello.txt", here.filePath("hello-out.txt")))
        return 1;

    // Names come in the order in which the entries were made.
    archive.setCurrentFolder("/notes");
    for (const QString& name : archive.list(Archive::Files))
        std::printf("/notes/%s\n", qPrintable(name));

    // The consistency check: one line per problem, none for a sound archive.
    const QStringList problems = archive.check();
    archive.close();
    return problems.isEmpty() ? 0 : 1;
}
