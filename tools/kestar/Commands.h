#pragma once

// The commands of kestar. Each returns the exit status: 0 when the whole request succeeded,
// 1 when any part of it failed, 2 for a mistake on the command line.

#include "CommandLine.h"

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
