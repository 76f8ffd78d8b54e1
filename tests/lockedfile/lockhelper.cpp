// A process that holds a locked file for tst_lockedfile.
//
// lockhelper <path>: opens <path> for reading and writing, then takes one command a line on
// standard input and answers each with one line. Every message of Qt's logging comes first as a
// line "message: <text>", so that a message shows in place of the answer the test expects.
//   lock <r|w> <try|wait>   -> locked | refused; "wait" first answers "pending", just before
//                              the blocking request is made
//   unlock                  -> unlocked | refused
//
// lockhelper <path> <rounds> <seed>: answers "ready", waits for a line "go", then takes the lock
// <rounds> times, a write lock one time in four, and answers
// "done <reads> <writes> <violations> <failures>". The first two ints of the file, mapped
// shared by every process of the run, count the readers and the writers holding the lock now.
// At every acquisition and again before every release a writer must be alone and a reader
// must see no writer.
#include "qtlockedfile.h"

#include <QCoreApplication>
#include <QRandomGenerator>

#include <atomic>
#include <cstdio>
#include <iostream>
#include <sched.h>
#include <string>

using Kest::QtLockedFile;

namespace {

void say(const QByteArray& line)
{
    std::printf("%s\n", line.constData());
    std::fflush(stdout);
}

int interactive(QtLockedFile& file)
{
    for (std::string text; std::getline(std::cin, text);) {
        const QList<QByteArray> words = QByteArray::fromStdString(text).split(' ');
        if (words[0] == "lock") {
            const bool block = words.value(2) == "wait";
            if (block)
                say("pending");
            const bool read = words.value(1) == "r";
            say(file.lock(read ? QtLockedFile::ReadLock : QtLockedFile::WriteLock, block)
                    ? "locked"
                    : "refused");
        } else {
            say(file.unlock() ? "unlocked" : "refused");
        }
    }
    return 0;
}

int contend(QtLockedFile& file, int rounds, quint32 seed)
{
    // Lock-free atomics work between processes on shared memory.
    static_assert(std::atomic<int>::is_always_lock_free && sizeof(std::atomic<int>) == sizeof(int));
    auto* tally = reinterpret_cast<std::atomic<int>*>(file.map(0, 2 * sizeof(int)));
    if (!tally)
        return 1;
    say("ready");
    std::string go;
    std::getline(std::cin, go);

    QRandomGenerator random(seed);
    int counts[4] = {}; // reads, writes, violations, failures
    for (int round = 0; round < rounds; ++round) {
        const bool write = random.bounded(4) == 0;
        if (!file.lock(write ? QtLockedFile::WriteLock : QtLockedFile::ReadLock, true)) {
            ++counts[3];
            continue;
        }
        ++counts[write];
        const auto consistent = [&] { return tally[1] == int(write) && !(write && tally[0]); };
        ++tally[write];
        counts[2] += !consistent();
        sched_yield();
        counts[2] += !consistent();
        --tally[write];
        counts[3] += !file.unlock();
    }
    QByteArray line = "done";
    for (int count : counts)
        line += ' ' + QByteArray::number(count);
    say(line);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
        say("message: " + text.toUtf8());
    });
    const QStringList args = app.arguments();
    QtLockedFile file(args.value(1));
    if (!file.open(QIODevice::ReadWrite)) {
        say("cannot open " + args.value(1).toUtf8());
        return 1;
    }
    return args.size() == 4 ? contend(file, args[2].toInt(), args[3].toUInt()) : interactive(file);
}
