#pragma once

// What kestar writes: results on standard output, errors on standard error, the library's
// diagnostics only when asked for (-v), and a progress bar for long transfers when standard
// error is a terminal.

#include <QElapsedTimer>
#include <QString>

namespace Kestar {

namespace Console {

// Prints Qt's messages on standard error in kestar's form. Debug messages, among them the
// library's diagnostics (logging category "kest.archive"), are shown only when `verbose` is
// true; warnings and worse always are.
void installMessageHandler(bool verbose);

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
