#pragma once

#include <QtGlobal>

#include <atomic>

namespace KestTest {

// Counts the critical messages (the library's reports of failed system calls) emitted from any
// thread while installed, and hands every message on to the test framework. Warnings need no
// counting: the tests fail on every warning they did not announce (QTest::failOnWarning).
struct MessageRecorder
{
    static inline std::atomic<int> criticals{0};
    static inline QtMessageHandler next = nullptr;

    static void install() { next = qInstallMessageHandler(&MessageRecorder::handle); }
    static void handle(QtMsgType type, const QMessageLogContext& context, const QString& text)
    {
        criticals += type == QtCriticalMsg;
        next(type, context, text);
    }
};

} // namespace KestTest
