#pragma once

// What kestar writes: results on standard output, errors on standard error, the library's
// debug messages only when asked for (-v), and a progress bar for long transfers when standard
// error is a terminal.

#include <QElapsedTimer>
#include <QString>
#include <QStringList>

namespace Kestar {

namespace Console {

// Routes Qt's messages through kestar: debug messages are kept for diagnosis (see
// takeLibraryMessages) and printed on standard error only when `verbose` is true; warnings
// and worse are always printed.
void installMessageHandler(bool verbose);

// The debug messages the library wrote since the last call, oldest first (at most the last
// hundred). kestar reads them to tell why an archive could not be opened.
QStringList takeLibraryMessages();

void setCommandName(const QString& name);

// One line on standard output.
void out(const QString& line);
// "kestar COMMAND: text" on standard error.
void error(const QString& text);
// Raw bytes on standard output; false when they cannot be written.
bool writeOut(const char* data, qint64 size);

bool isTerminal(int fd);

} // namespace Console

// A one-line progress bar on standard error, for transfers of many bytes. It draws nothing
// unless standard error is a terminal and the total is large enough to be worth showing.
class ProgressBar
{
public:
    explicit ProgressBar(qint64 totalBytes);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    bool isShown() const { return shown_; }
    void setItem(const QString& name);
    void advance(qint64 bytes);
    void finish();

private:
    void draw();

    bool shown_;
    bool drawn_ = false;
    qint64 total_;
    qint64 done_ = 0;
    QString item_;
    QElapsedTimer sinceDraw_;
};

} // namespace Kestar
