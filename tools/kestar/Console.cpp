#include "Console.h"

#include <QLoggingCategory>
#include <QtGlobal>

#include <cstdio>
#include <unistd.h>

namespace Kestar {

namespace {

// Transfers shorter than this finish before a bar would tell anything.
constexpr qint64 ProgressThreshold = 8 * 1024 * 1024;
constexpr int BarWidth = 30;
constexpr qint64 RedrawIntervalMs = 100;

QString commandName;

void writeLine(FILE* stream, const QString& line)
{
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
}

void handleMessage(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    const bool diagnostic = type == QtDebugMsg || type == QtInfoMsg;
    writeLine(stderr, (diagnostic ? QStringLiteral("kestar: [debug] ")
                                  : QStringLiteral("kestar: warning: ")) +
                          message);
}

QString mebibytes(qint64 bytes)
{
    return QString::number(double(bytes) / (1024.0 * 1024.0), 'f', 1);
}

} // namespace

namespace Console {

void installMessageHandler(bool verbose)
{
    QLoggingCategory::setFilterRules(verbose ? QStringLiteral("kest.archive.debug=true")
                                             : QStringLiteral("*.debug=false"));
    qInstallMessageHandler(handleMessage);
}

void setCommandName(const QString& name)
{
    commandName = name;
}

void out(const QString& line)
{
    writeLine(stdout, line);
}

void error(const QString& text)
{
    std::fflush(stdout);
    const QString prefix = commandName.isEmpty() ? QStringLiteral("kestar: ")
                                                 : QStringLiteral("kestar %1: ").arg(commandName);
    writeLine(stderr, prefix + text);
}

bool writeOut(const char* data, qint64 size)
{
    return std::fwrite(data, 1, size_t(size), stdout) == size_t(size);
}

bool isTerminal(int fd)
{
    return ::isatty(fd) == 1;
}

} // namespace Console

ProgressBar::ProgressBar(qint64 totalBytes)
    : shown_(totalBytes >= ProgressThreshold && Console::isTerminal(STDERR_FILENO)),
      total_(totalBytes)
{
}

ProgressBar::~ProgressBar()
{
    finish();
}

void ProgressBar::setItem(const QString& name)
{
    item_ = name;
}

void ProgressBar::advance(qint64 bytes)
{
    done_ += bytes;
    if (!shown_)
        return;
    if (drawn_ && sinceDraw_.elapsed() < RedrawIntervalMs && done_ < total_)
        return;
    draw();
}

void ProgressBar::draw()
{
    const double fraction = total_ > 0 ? qBound(0.0, double(done_) / double(total_), 1.0) : 1.0;
    const int filled = int(fraction * BarWidth);
    const QString bar =
        QString(filled, QLatin1Char('#')) + QString(BarWidth - filled, QLatin1Char('.'));
    QString item = item_;
    if (item.size() > 30)
        item = QStringLiteral("...") + item.right(27);
    const QString line = QStringLiteral("\r[%1] %2%  %3 / %4 MiB  %5")
                             .arg(bar)
                             .arg(int(fraction * 100), 3)
                             .arg(mebibytes(done_), mebibytes(total_), item);
    const QByteArray bytes = line.leftJustified(79).toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stderr);
    std::fflush(stderr);
    drawn_ = true;
    sinceDraw_.start();
}

// Clears the bar's line, so that what is printed next starts on a clean line.
void ProgressBar::finish()
{
    if (!drawn_)
        return;
    std::fprintf(stderr, "\r%79s\r", "");
    std::fflush(stderr);
    drawn_ = false;
}

} // namespace Kestar
