#include "CommandLine.h"

namespace Kestar {

using Kest::Ar::Archive;

namespace {

const OptionSpec VerboseOption{QLatin1Char('v'), QStringLiteral("verbose"), QString(),
                               QStringLiteral("show the library's debug messages")};
const OptionSpec HelpOption{QLatin1Char('h'), QStringLiteral("help"), QString(),
                            QStringLiteral("show this help")};
const OptionSpec DurabilityOption{
    QChar(), QStringLiteral("durability"), QStringLiteral("LEVEL"),
    QStringLiteral("what a commit survives: off, crash or power (default)")};

bool parseDurability(const QString& text, Archive::Durability& durability)
{
    static const QHash<QString, Archive::Durability> levels{
        {QStringLiteral("off"), Archive::Durability::Off},
        {QStringLiteral("crash"), Archive::Durability::CrashSafe},
        {QStringLiteral("power"), Archive::Durability::PowerSafe}};
    const auto level = levels.constFind(text);
    if (level == levels.cend())
        return false;
    durability = *level;
    return true;
}

QString badDurability(const QString& text)
{
    return QStringLiteral("--durability must be off, crash or power, not '%1'").arg(text);
}

const CommandSpec* findCommand(const QList<CommandSpec>& commands, const QString& name)
{
    for (const CommandSpec& command : commands) {
        if (command.name == name)
            return &command;
    }
    return nullptr;
}

const OptionSpec* findLong(const CommandSpec& command, const QString& name)
{
    for (const OptionSpec& option : command.options) {
        if (option.longName == name)
            return &option;
    }
    return nullptr;
}

const OptionSpec* findShort(const CommandSpec& command, QChar name)
{
    for (const OptionSpec& option : command.options) {
        if (!option.shortName.isNull() && option.shortName == name)
            return &option;
    }
    return nullptr;
}

ParseResult usageError(const CommandSpec* command, const QString& error)
{
    ParseResult result;
    result.outcome = ParseResult::UsageError;
    result.invocation.command = command;
    result.error = error;
    return result;
}

ParseResult showHelp(const CommandSpec* command)
{
    ParseResult result;
    result.outcome = ParseResult::ShowHelp;
    result.invocation.command = command;
    return result;
}

// Parses the words after the command's name into `result.invocation`. Returns false when
// parsing stops early (help asked for, or an error), with `result` saying which.
class WordParser
{
public:
    WordParser(const CommandSpec& command, const QStringList& words, ParseResult& result)
        : command_(command), words_(words), result_(result), invocation_(result.invocation)
    {
        invocation_.command = &command;
    }

    bool parse()
    {
        bool optionsEnded = false;
        for (next_ = 0; next_ < words_.size();) {
            const QString word = words_.at(next_++);
            if (optionsEnded || word == QLatin1String("-") || !word.startsWith(QLatin1Char('-')))
                invocation_.arguments.append(word);
            else if (word == QLatin1String("--"))
                optionsEnded = true;
            else if (word.startsWith(QLatin1String("--")) ? !parseLong(word.mid(2))
                                                          : !parseShortCluster(word.mid(1)))
                return false;
        }
        return checkArgumentCount();
    }

private:
    bool parseLong(const QString& text)
    {
        const qsizetype equals = text.indexOf(QLatin1Char('='));
        const QString name = equals < 0 ? text : text.left(equals);
        if (name == HelpOption.longName)
            return stopForHelp();
        if (name == VerboseOption.longName) {
            invocation_.verbose = true;
            return true;
        }
        const OptionSpec* option =
            name == DurabilityOption.longName ? &DurabilityOption : findLong(command_, name);
        if (!option)
            return fail(QStringLiteral("unknown option --%1").arg(name));
        if (option->valueName.isEmpty()) {
            if (equals >= 0)
                return fail(QStringLiteral("option --%1 takes no value").arg(name));
            invocation_.flags.insert(option->longName);
            return true;
        }
        if (equals >= 0)
            return setValue(*option, text.mid(equals + 1));
        return takeNextWordAsValue(*option, QStringLiteral("--") + name);
    }

    bool parseShortCluster(const QString& cluster)
    {
        for (qsizetype k = 0; k < cluster.size(); ++k) {
            const QChar name = cluster.at(k);
            if (name == HelpOption.shortName)
                return stopForHelp();
            if (name == VerboseOption.shortName) {
                invocation_.verbose = true;
                continue;
            }
            const OptionSpec* option = findShort(command_, name);
            if (!option)
                return fail(QStringLiteral("unknown option -%1").arg(name));
            if (option->valueName.isEmpty()) {
                invocation_.flags.insert(option->longName);
                continue;
            }
            const QString attached = cluster.mid(k + 1);
            if (!attached.isEmpty())
                return setValue(*option, attached);
            return takeNextWordAsValue(*option, QStringLiteral("-") + name);
        }
        return true;
    }

    bool takeNextWordAsValue(const OptionSpec& option, const QString& spelled)
    {
        if (next_ >= words_.size())
            return fail(
                QStringLiteral("option %1 needs a value (%2)").arg(spelled, option.valueName));
        return setValue(option, words_.at(next_++));
    }

    bool setValue(const OptionSpec& option, const QString& value)
    {
        if (&option == &DurabilityOption)
            return parseDurability(value, invocation_.durability) || fail(badDurability(value));
        invocation_.values.insert(option.longName, value);
        return true;
    }

    bool checkArgumentCount()
    {
        const int count = int(invocation_.arguments.size());
        if (count < command_.minArguments)
            return fail(QStringLiteral("missing arguments: %1").arg(command_.synopsis));
        if (command_.maxArguments >= 0 && count > command_.maxArguments)
            return fail(QStringLiteral("too many arguments: %1").arg(command_.synopsis));
        return true;
    }

    bool stopForHelp()
    {
        result_ = showHelp(&command_);
        return false;
    }

    bool fail(const QString& error)
    {
        result_ = usageError(&command_, error);
        return false;
    }

    const CommandSpec& command_;
    const QStringList& words_;
    ParseResult& result_;
    Invocation& invocation_;
    qsizetype next_ = 0;
};

QString optionLine(const OptionSpec& option)
{
    QString names = option.shortName.isNull() ? QStringLiteral("    ")
                                              : QStringLiteral("-%1, ").arg(option.shortName);
    names += QStringLiteral("--") + option.longName;
    if (!option.valueName.isEmpty())
        names += QLatin1Char(' ') + option.valueName;
    return QStringLiteral("  %1  %2\n").arg(names, -26).arg(option.help);
}

} // namespace

bool Invocation::has(const QString& longName) const
{
    return flags.contains(longName) || values.contains(longName);
}

QString Invocation::value(const QString& longName, const QString& fallback) const
{
    return values.value(longName, fallback);
}

ParseResult parseCommandLine(const QStringList& words, const QList<CommandSpec>& commands)
{
    bool verbose = false;
    Archive::Durability durability = Archive::Durability::PowerSafe;
    qsizetype i = 0;
    for (; i < words.size() && words.at(i).startsWith(QLatin1Char('-')); ++i) {
        const QString& word = words.at(i);
        const QString name = word.section(QLatin1Char('='), 0, 0);
        if (word == QLatin1String("-v") || word == QLatin1String("--verbose")) {
            verbose = true;
        } else if (word == QLatin1String("-h") || word == QLatin1String("--help")) {
            return showHelp(nullptr);
        } else if (name == QLatin1String("--durability")) {
            const bool attached = word.size() > name.size();
            if (!attached && i + 1 == words.size())
                return usageError(nullptr,
                                  QStringLiteral("option --durability needs a value (LEVEL)"));
            const QString value = attached ? word.mid(name.size() + 1) : words.at(++i);
            if (!parseDurability(value, durability))
                return usageError(nullptr, badDurability(value));
        } else {
            return usageError(nullptr, QStringLiteral("unknown option %1").arg(word));
        }
    }
    if (i == words.size())
        return usageError(nullptr, QStringLiteral("no command given"));

    const QString name = words.at(i);
    if (name == QLatin1String("help")) {
        const CommandSpec* topic =
            i + 1 < words.size() ? findCommand(commands, words.at(i + 1)) : nullptr;
        return showHelp(topic);
    }
    const CommandSpec* command = findCommand(commands, name);
    if (!command)
        return usageError(nullptr, QStringLiteral("unknown command '%1'").arg(name));

    ParseResult result;
    result.outcome = ParseResult::Run;
    result.invocation.verbose = verbose;
    result.invocation.durability = durability;
    WordParser(*command, words.mid(i + 1), result).parse();
    return result;
}

QString commandHelp(const CommandSpec& command)
{
    QString text = QStringLiteral("Usage: kestar %1 %2\n\n%3\n")
                       .arg(command.name, command.synopsis, command.summary);
    if (!command.details.isEmpty())
        text += QLatin1Char('\n') + command.details + QLatin1Char('\n');
    text += QStringLiteral("\nOptions:\n");
    for (const OptionSpec& option : command.options)
        text += optionLine(option);
    text += optionLine(VerboseOption);
    text += optionLine(DurabilityOption);
    text += optionLine(HelpOption);
    return text;
}

QString overviewHelp(const QList<CommandSpec>& commands)
{
    QString text = QStringLiteral(
        "Usage: kestar [-v] [--durability LEVEL] COMMAND [options] ARGUMENTS...\n\n"
        "Works with KestArchive archives: single files that hold a whole tree of folders and\n"
        "files.\n\nCommands:\n");
    for (const CommandSpec& command : commands)
        text += QStringLiteral("  %1  %2\n").arg(command.name, -7).arg(command.summary);
    text += QStringLiteral(
        "\nRun 'kestar COMMAND --help' for the options of one command.\n"
        "Paths inside an archive are absolute (/docs/report) or relative to its root\n"
        "(docs/report). The library's debug messages are shown only with -v.\n"
        "A command that changes an archive is one transaction: what it did is committed as a\n"
        "whole when it ends, and nothing of it when the archive cannot be written (a full disk).\n"
        "--durability LEVEL says what a commit survives: power (the default) a power cut, crash\n"
        "a killed process but not a power cut, off nothing (for scratch archives; faster).\n"
        "Exit status: 0 when the whole request succeeded, 1 when any part of it failed (or\n"
        "check found a problem), 2 for a mistake on the command line.\n");
    return text;
}

} // namespace Kestar
