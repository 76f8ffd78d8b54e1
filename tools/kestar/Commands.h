#pragma once

// The commands of kestar. Each returns the exit status: 0 when the whole request succeeded,
// 1 when any part of it failed, 2 for a mistake on the command line.

#include "CommandLine.h"

#include <KestArchive/Archive.h>

namespace Kestar {

enum ExitStatus { Success = 0, Failure = 1, UsageFailure = 2 };

// Collects the outcome of a command that works on several items: every failure is reported
// at once, and the command goes on with the next item.
class Outcome
{
public:
    void fail(const QString& message);
    bool failed() const { return failed_; }
    int status() const { return failed_ ? Failure : Success; }

private:
    bool failed_ = false;
};

// Closes an archive opened for writing. Closing writes back what lives only in memory
// (folders made or removed); a failure to do so fails the command.
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
