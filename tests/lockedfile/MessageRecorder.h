#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>
#include <QtGlobal>

namespace KestTest {

// Records every message that Qt's logging emits while it lives, from any thread and of any
// type (warnings and the critical messages of failed system calls alike), and hands each on
// to the handler it replaced. Used where the contract demands that nothing is reported.
class MessageRecorder
{
public:
    MessageRecorder()
    {
        instance = this;
        previous = qInstallMessageHandler(&MessageRecorder::handle);
    }
    ~MessageRecorder()
    {
        qInstallMessageHandler(previous);
        instance = nullptr;
    }
    MessageRecorder(const MessageRecorder&) = delete;
    MessageRecorder& operator=(const MessageRecorder&) = delete;

    QStringList messages() const
    {
        QMutexLocker locker(&mutex);
        return recorded;
    }

private:
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& text)
    {
        MessageRecorder* self = instance;
        {
            QMutexLocker locker(&self->mutex);
            self->recorded.append(text);
        }
        if (self->previous)
            self->previous(type, context, text);
    }

    static inline MessageRecorder* instance = nullptr;
    QtMessageHandler previous = nullptr;
    mutable QMutex mutex;
    QStringList recorded;
};

} // namespace KestTest
