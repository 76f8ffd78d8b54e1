#pragma once

// The commands of kestar. Each returns the exit status: 0 when the whole request succeeded,
// 1 when any part of it failed, 2 for a mistake on the command line.

#include "CommandLine.h"

#include <KestArchive/Archive.h>

namespace Kestar {

enum ExitStatus { Success = 0, Failure = 1, UsageFailure = 2 };

// Collects the outcome of a command that works on several items: every failure is reported
// at once, and the command goes on with the next item; what succeeded is kept.
//
// Only a failure to write the archive (IoError, OutOfSpace) ends that: the library has then
// rolled the command's transaction back, so nothing of the command is kept, and the command
// must stop, for anything it wrote after that would be committed on its own.
class Outcome
{
public:
    void fail(const QString& message);
    // A failure the library reported with `code`.
    void fail(const QString& message, Kest::Ar::Archive::Error code);
    bool failed() const { return failed_; }
    bool writeFailed() const { return writeFailed_; }
    int status() const { return failed_ ? Failure : Success; }

private:
    bool failed_ = false;
    bool writeFailed_ = false;
};

// Ends a command that changed an archive opened by openArchive() for writing: commits what
// succeeded as one transaction and closes the archive. After a failure to write, when nothing
// is left to commit, says what became of the archive instead.
void closeArchive(Kest::Ar::Archive& archive, Outcome& outcome);

QList<CommandSpec> allCommands();

int runCreate(const Invocation& invocation);
int runLs(const Invocation& invocation);
int runTree(const Invocation& invocation);
int runAdd(const Invocation& invocation);
int runMkdir(const Invocation& invocation);
int runCat(const Invocation& invocation);
int runGet(const Invocation& invocation);
int runRm(const Invocation& invocation);
int runRmdir(const Invocation& invocation);
int runInfo(const Invocation& invocation);
int runCheck(const Invocation& invocation);

} // namespace Kestar
