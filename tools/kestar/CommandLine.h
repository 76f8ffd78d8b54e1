#pragma once

// The command line of kestar: `kestar [-v] [--durability LEVEL] COMMAND [options] ARGUMENTS...`.
//
// Every command is described by a CommandSpec (its options, how many arguments it takes, its
// help text); one parser serves them all. Options may stand before, between or after the
// arguments; "--" ends the options. Short flags may be combined ("-lR"), a short option's
// value may follow it directly or as the next word ("-Cdocs", "-C docs"), and a long option's
// value after "=" or as the next word ("--block-size=512", "--block-size 512"). Every command
// accepts -h/--help, -v/--verbose and --durability LEVEL (off, crash or power), which may also
// stand before the command's name.

#include <KestArchive/Archive.h>

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

namespace Kestar {

struct OptionSpec
{
    QChar shortName;   // null when there is none
    QString longName;  // the name by which the command asks for it
    QString valueName; // empty for a flag
    QString help;
};

struct Invocation;

struct CommandSpec
{
    QString name;
    QString synopsis; // what follows "kestar NAME", e.g. "ARCHIVE [FOLDER] [-l] [-R]"
    QString summary;  // one line, for the list of commands
    QString details;  // a paragraph for the command's --help
    QList<OptionSpec> options;
    int minArguments = 0;
    int maxArguments = -1; // -1: no limit
    int (*run)(const Invocation&) = nullptr;
};

// A parsed command line, ready to run.
struct Invocation
{
    const CommandSpec* command = nullptr;
    QStringList arguments;
    QSet<QString> flags;            // long names of the flags given
    QHash<QString, QString> values; // long name -> value of the valued options given
    bool verbose = false;
    Kest::Ar::Archive::Durability durability = Kest::Ar::Archive::Durability::PowerSafe;

    bool has(const QString& longName) const;
    QString value(const QString& longName, const QString& fallback = QString()) const;
};

// What the parser made of the words after the program name.
struct ParseResult
{
    enum Outcome { Run, ShowHelp, UsageError };
    Outcome outcome = UsageError;
    Invocation invocation; // for Run; its command is also set for ShowHelp and, when known,
                           // for UsageError
    QString error;         // for UsageError
};

ParseResult parseCommandLine(const QStringList& words, const QList<CommandSpec>& commands);

// The help of one command, and the overview of all of them.
QString commandHelp(const CommandSpec& command);
QString overviewHelp(const QList<CommandSpec>& commands);

} // namespace Kestar
