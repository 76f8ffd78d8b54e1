// The commands that copy files between the host and an archive: add and get.
//
// Both first plan the whole request (which folders to make, which files to copy, how many
// bytes in all), reporting what cannot be done, and then carry the plan out under one
// progress bar.

#include "Commands.h"
#include "Console.h"
#include "Session.h"
#include "Transfer.h"

#include <QDir>
#include <QFileInfo>

namespace Kestar {

namespace {

struct FileJob
{
    QString from;
    QString to;
};

struct Plan
{
    QStringList folders; // to make, parents before children
    QList<FileJob> files;
    qint64 bytes = 0;
};

bool isInside(const QString& path, const QStringList& folders)
{
    for (const QString& folder : folders) {
        if (path.startsWith(folder + QLatin1Char('/')))
            return true;
    }
    return false;
}

// ---- add ------------------------------------------------------------------------------------

class ImportPlanner
{
public:
    ImportPlanner(const QString& archiveFile, bool recursive, Outcome& outcome)
        : archiveFile_(QFileInfo(archiveFile).canonicalFilePath()), recursive_(recursive),
          outcome_(outcome)
    {
    }

    void addHostPath(const QString& hostPath, const QString& targetFolder)
    {
        const QFileInfo info(hostPath);
        const QString name = QDir::cleanPath(info.absoluteFilePath()).section(QLatin1Char('/'), -1);
        if (!info.exists()) {
            outcome_.fail(QStringLiteral("%1: no such file or folder").arg(hostPath));
        } else if (name.isEmpty()) {
            outcome_.fail(
                QStringLiteral("%1: the host's root folder cannot be added").arg(hostPath));
        } else if (info.isDir()) {
            if (recursive_)
                addHostFolder(info.absoluteFilePath(), joinPath(targetFolder, name));
            else
                outcome_.fail(QStringLiteral("%1: is a folder (use -r)").arg(hostPath));
        } else {
            addHostFile(info, joinPath(targetFolder, name));
        }
    }

    const Plan& plan() const { return plan_; }

private:
    void addHostFolder(const QString& hostFolder, const QString& member)
    {
        plan_.folders.append(member);
        const QFileInfoList entries = QDir(hostFolder)
                                          .entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot |
                                                             QDir::Hidden | QDir::System,
                                                         QDir::Name);
        for (const QFileInfo& entry : entries) {
            const QString child = joinPath(member, entry.fileName());
            if (entry.isSymLink() && entry.isDir())
                Console::error(QStringLiteral("%1: symbolic link to a folder, not followed")
                                   .arg(entry.filePath()));
            else if (entry.isDir())
                addHostFolder(entry.absoluteFilePath(), child);
            else
                addHostFile(entry, child);
        }
    }

    void addHostFile(const QFileInfo& info, const QString& member)
    {
        if (!info.isFile()) {
            outcome_.fail(QStringLiteral("%1: not a regular file").arg(info.filePath()));
            return;
        }
        // Adding the archive to itself would never end: it grows while it is read.
        if (info.canonicalFilePath() == archiveFile_) {
            Console::error(
                QStringLiteral("%1: the archive itself, not added").arg(info.filePath()));
            return;
        }
        plan_.files.append(FileJob{info.filePath(), member});
        plan_.bytes += info.size();
    }

    QString archiveFile_;
    bool recursive_;
    Outcome& outcome_;
    Plan plan_;
};

// Makes the planned folders that are missing. Returns the folders that cannot be made, so
// that nothing is copied into them.
QStringList makeFolders(Archive& archive, const QStringList& folders, Outcome& outcome)
{
    QStringList broken;
    for (const QString& folder : folders) {
        if (isInside(folder, broken))
            continue;
        const Kind kind = kindOf(archive, folder);
        if (kind == Kind::File) {
            outcome.fail(QStringLiteral("%1: a member file has that name").arg(folder));
            broken.append(folder);
        } else if (kind == Kind::Missing && !archive.makeFolder(folder)) {
            outcome.fail(QStringLiteral("%1: cannot make the folder (%2)")
                             .arg(folder, failureText(archive.error(), archive.errorString())),
                         archive.error());
            if (outcome.writeFailed())
                break;
            broken.append(folder);
        }
    }
    return broken;
}

void carryOutImport(Archive& archive, const Plan& plan, Outcome& outcome)
{
    const QStringList broken = makeFolders(archive, plan.folders, outcome);
    ProgressBar progress(plan.bytes);
    for (const FileJob& job : plan.files) {
        if (outcome.writeFailed())
            break;
        if (isInside(job.to, broken))
            continue;
        ImportFailure failure;
        if (!importFile(archive, job.from, job.to, progress, failure)) {
            progress.finish();
            outcome.fail(failure.why, failure.code);
        }
    }
    progress.finish();
}

// ---- get ------------------------------------------------------------------------------------

class ExportPlanner
{
public:
    ExportPlanner(const Archive& archive, bool recursive, Outcome& outcome)
        : archive_(archive), recursive_(recursive), outcome_(outcome)
    {
    }

    void addArchivePath(const QString& path, const QString& hostFolder)
    {
        const Archive::EntryInfo entry = archive_.entryInfo(path);
        if (entry.name.isEmpty())
            outcome_.fail(QStringLiteral("%1: no such file or folder in the archive").arg(path));
        else if (!entry.isFolder)
            addMember(path, entry.size, hostFolder);
        else if (!recursive_)
            outcome_.fail(QStringLiteral("%1: is a folder (use -r)").arg(path));
        else if (path == QLatin1String("/"))
            addFolderContents(path, hostFolder);
        else if (checkHostName(path))
            addFolder(path, QDir(hostFolder).filePath(baseName(path)));
    }

    const Plan& plan() const { return plan_; }

private:
    // A name from the archive becomes a host file name only when it stays inside the target.
    bool checkHostName(const QString& path)
    {
        if (isSafeHostName(baseName(path)))
            return true;
        outcome_.fail(QStringLiteral("%1: the name cannot be used for a host file").arg(path));
        return false;
    }

    void addMember(const QString& path, qint64 size, const QString& hostFolder)
    {
        if (!checkHostName(path))
            return;
        plan_.files.append(FileJob{path, QDir(hostFolder).filePath(baseName(path))});
        plan_.bytes += size;
    }

    void addFolder(const QString& path, const QString& hostFolder)
    {
        plan_.folders.append(hostFolder);
        addFolderContents(path, hostFolder);
    }

    void addFolderContents(const QString& path, const QString& hostFolder)
    {
        for (const Archive::EntryInfo& entry : archive_.entries(path)) {
            const QString child = joinPath(path, entry.name);
            if (!entry.isFolder)
                addMember(child, entry.size, hostFolder);
            else if (checkHostName(child))
                addFolder(child, QDir(hostFolder).filePath(entry.name));
        }
    }

    const Archive& archive_;
    bool recursive_;
    Outcome& outcome_;
    Plan plan_;
};

void carryOutExport(Archive& archive, const Plan& plan, Outcome& outcome)
{
    QStringList broken;
    for (const QString& folder : plan.folders) {
        if (!isInside(folder, broken) && !QDir().mkpath(folder)) {
            outcome.fail(QStringLiteral("%1: cannot make the host folder").arg(folder));
            broken.append(folder);
        }
    }
    ProgressBar progress(plan.bytes);
    for (const FileJob& job : plan.files) {
        if (isInside(job.to, broken))
            continue;
        QString why;
        if (!exportFile(archive, job.from, job.to, progress, why)) {
            progress.finish();
            outcome.fail(why);
        }
    }
}

} // namespace

int runAdd(const Invocation& invocation)
{
    const QString archiveFile = invocation.arguments.at(0);
    const auto archive = openArchive(archiveFile, Access::Write, invocation.durability);
    if (!archive)
        return Failure;
    const QString target =
        archivePath(invocation.value(QStringLiteral("directory"), QStringLiteral("/")));
    if (kindOf(*archive, target) != Kind::Folder) {
        Console::error(QStringLiteral("%1: no such folder in the archive").arg(target));
        return Failure;
    }
    Outcome outcome;
    ImportPlanner planner(archiveFile, invocation.has(QStringLiteral("recursive")), outcome);
    for (const QString& hostPath : invocation.arguments.mid(1))
        planner.addHostPath(hostPath, target);
    carryOutImport(*archive, planner.plan(), outcome);
    closeArchive(*archive, outcome);
    return outcome.status();
}

int runGet(const Invocation& invocation)
{
    const auto archive =
        openArchive(invocation.arguments.at(0), Access::Read, invocation.durability);
    if (!archive)
        return Failure;
    const QString hostFolder = invocation.value(QStringLiteral("directory"), QStringLiteral("."));
    if (!QDir().mkpath(hostFolder)) {
        Console::error(QStringLiteral("%1: cannot make the host folder").arg(hostFolder));
        return Failure;
    }
    Outcome outcome;
    ExportPlanner planner(*archive, invocation.has(QStringLiteral("recursive")), outcome);
    for (const QString& argument : invocation.arguments.mid(1))
        planner.addArchivePath(archivePath(argument), hostFolder);
    carryOutExport(*archive, planner.plan(), outcome);
    return outcome.status();
}

} // namespace Kestar
