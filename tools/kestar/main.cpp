// kestar: the command-line tool for KestArchive archives.

#include "CommandLine.h"
#include "Commands.h"
#include "Console.h"

#include <cstdio>

using namespace Kestar;

namespace {

int usageFailure(const ParseResult& result)
{
    const QString name = result.invocation.command ? result.invocation.command->name : QString();
    Console::setCommandName(name);
    Console::error(result.error);
    std::fprintf(stderr, "Try 'kestar %s--help'.\n",
                 name.isEmpty() ? "" : qPrintable(name + QLatin1Char(' ')));
    return UsageFailure;
}

} // namespace

int main(int argc, char* argv[])
{
    QStringList words;
    for (int i = 1; i < argc; ++i)
        words.append(QString::fromLocal8Bit(argv[i]));

    const QList<CommandSpec> commands = allCommands();
    const ParseResult result = parseCommandLine(words, commands);
    switch (result.outcome) {
    case ParseResult::ShowHelp: {
        const CommandSpec* command = result.invocation.command;
        const QString help = command ? commandHelp(*command) : overviewHelp(commands);
        std::fputs(qPrintable(help), stdout);
        return Success;
    }
    case ParseResult::UsageError:
        return usageFailure(result);
    case ParseResult::Run:
        break;
    }
    Console::installMessageHandler(result.invocation.verbose);
    Console::setCommandName(result.invocation.command->name);
    const int status = result.invocation.command->run(result.invocation);
    std::fflush(stdout);
    return status;
}
