// The list of commands with their options and help texts.

#include "Commands.h"

#include "Console.h"
#include "Session.h"

namespace Kestar {

void Outcome::fail(const QString& message)
{
    Console::error(message);
    failed_ = true;
}

void Outcome::fail(const QString& message, Archive::Error code)
{
    fail(message);
    if (code == Archive::Error::IoError || code == Archive::Error::OutOfSpace)
        writeFailed_ = true;
}

void closeArchive(Archive& archive, Outcome& outcome)
{
    if (!outcome.writeFailed() && !archive.commit())
        outcome.fail(QStringLiteral("cannot commit the changes: %1")
                         .arg(failureText(archive.error(), archive.errorString())),
                     archive.error());
    const bool journalled = archive.durability() != Archive::Durability::Off;
    archive.close();
    if (outcome.writeFailed())
        outcome.fail(journalled ? QStringLiteral("nothing of this command was committed: the "
                                                 "archive is as it was before")
                                : QStringLiteral("the archive was written without a journal "
                                                 "(--durability off) and may be damaged; see "
                                                 "'kestar check'"));
    else if (archive.error() != Archive::Error::NoError)
        outcome.fail(QStringLiteral("cannot close the archive: %1")
                         .arg(failureText(archive.error(), archive.errorString())));
}

QList<CommandSpec> allCommands()
{
    const QLatin1Char none{'\0'};
    return {
        {QStringLiteral("create"),
         QStringLiteral("ARCHIVE [--block-size N] [--app-version X.Y.Z]"),
         QStringLiteral("Create a new, empty archive."),
         QStringLiteral(
             "ARCHIVE must not exist yet. Blocks are 4096 bytes unless --block-size\n"
             "says otherwise (8 to 67108864 bytes). --app-version stamps the version of\n"
             "the application that owns the archive into its header."),
         {{none, QStringLiteral("block-size"), QStringLiteral("N"),
           QStringLiteral("size of the archive's blocks in bytes")},
          {none, QStringLiteral("app-version"), QStringLiteral("X.Y.Z"),
           QStringLiteral("application version for the header")}},
         1,
         1,
         runCreate},
        {QStringLiteral("ls"),
         QStringLiteral("ARCHIVE [FOLDER] [-l] [-R]"),
         QStringLiteral("List the entries of a folder (the root by default)."),
         QStringLiteral("Names come in the order in which they are stored. With -R, every entry\n"
                        "below FOLDER is listed by its path relative to FOLDER."),
         {{QLatin1Char('l'), QStringLiteral("long"), QString(),
           QStringLiteral("show each entry's kind and size")},
          {QLatin1Char('R'), QStringLiteral("recursive"), QString(),
           QStringLiteral("list the folders below as well")}},
         1,
         2,
         runLs},
        {QStringLiteral("tree"),
         QStringLiteral("ARCHIVE"),
         QStringLiteral("Show the whole tree of folders and files, indented."),
         QStringLiteral("Folders end in \"/\"; files show their size in bytes."),
         {},
         1,
         1,
         runTree},
        {QStringLiteral("add"),
         QStringLiteral("ARCHIVE HOSTPATH... [-C FOLDER] [-r]"),
         QStringLiteral("Copy host files (with -r, host folders) into the archive."),
         QStringLiteral("Each HOSTPATH is added under its own name to FOLDER (the root by\n"
                        "default), which must exist. A member that exists already is replaced.\n"
                        "With -r, host folders are added with everything in them, making the\n"
                        "folders inside the archive; symbolic links to folders are not followed."),
         {{QLatin1Char('C'), QStringLiteral("directory"), QStringLiteral("FOLDER"),
           QStringLiteral("folder of the archive to add to")},
          {QLatin1Char('r'), QStringLiteral("recursive"), QString(),
           QStringLiteral("add host folders and their contents")}},
         2,
         -1,
         runAdd},
        {QStringLiteral("mkdir"),
         QStringLiteral("ARCHIVE FOLDER... [-p]"),
         QStringLiteral("Make folders in the archive."),
         QStringLiteral("Without -p the parent of each FOLDER must exist and FOLDER must not.\n"
                        "With -p missing parents are made too, and existing folders are fine."),
         {{QLatin1Char('p'), QStringLiteral("parents"), QString(),
           QStringLiteral("make missing parent folders; no error if it exists")}},
         2,
         -1,
         runMkdir},
        {QStringLiteral("cat"),
         QStringLiteral("ARCHIVE PATH"),
         QStringLiteral("Write a member file to standard output."),
         QString(),
         {},
         2,
         2,
         runCat},
        {QStringLiteral("get"),
         QStringLiteral("ARCHIVE PATH... [-C HOSTDIR] [-r]"),
         QStringLiteral("Copy members (with -r, whole folders) out to host files."),
         QStringLiteral("Each PATH is written under its own name into HOSTDIR (the current\n"
                        "folder by default; made when missing). Host files that exist are\n"
                        "replaced. With -r, a folder is copied with everything in it; the root\n"
                        "folder \"/\" copies the archive's contents straight into HOSTDIR."),
         {{QLatin1Char('C'), QStringLiteral("directory"), QStringLiteral("HOSTDIR"),
           QStringLiteral("host folder to write into")},
          {QLatin1Char('r'), QStringLiteral("recursive"), QString(),
           QStringLiteral("copy folders and their contents")}},
         2,
         -1,
         runGet},
        {QStringLiteral("rm"),
         QStringLiteral("ARCHIVE PATH... [-r]"),
         QStringLiteral("Remove member files (with -r, folders and everything in them)."),
         QStringLiteral("The blocks of removed members go to the archive's free list and are\n"
                        "used again by later additions."),
         {{QLatin1Char('r'), QStringLiteral("recursive"), QString(),
           QStringLiteral("remove folders with their contents")}},
         2,
         -1,
         runRm},
        {QStringLiteral("rmdir"),
         QStringLiteral("ARCHIVE FOLDER..."),
         QStringLiteral("Remove empty folders."),
         QString(),
         {},
         2,
         -1,
         runRmdir},
        {QStringLiteral("info"),
         QStringLiteral("ARCHIVE"),
         QStringLiteral("Show the archive's format, sizes and fragmentation."),
         QStringLiteral("Internal fragmentation is the share of the used blocks' bytes that hold\n"
                        "no member data (table, directory, unfilled ends of blocks); external\n"
                        "fragmentation is the share of all blocks that are free."),
         {},
         1,
         1,
         runInfo},
        {QStringLiteral("check"),
         QStringLiteral("ARCHIVE"),
         QStringLiteral("Check the archive's consistency and report every problem."),
         QStringLiteral("Looks at the header, the allocation table's own chain, and whether every\n"
                        "block belongs to exactly one of the table, one chain or the free list\n"
                        "(cycles, cross-links, leaked blocks, links outside the table), whether\n"
                        "each member's chain fits its size and last block, and for duplicate\n"
                        "names. Never changes the archive. Exits with 1 when it finds a problem."),
         {},
         1,
         1,
         runCheck},
    };
}

} // namespace Kestar
