// A process that holds locked files for tst_lockedfile.
//
// Interactive use (no arguments): one command per line on standard input, one reply line on
// standard output for each; every message of Qt's logging is written as a line
// "message: <text>" before the reply, so that the test sees whether anything was reported.
//   open <path> <r|w|rw>   -> opened | not-opened
//   lock <r|w|none> <try|wait>
//                          -> locked | refused; "wait" first replies "pending", just
//                             before the blocking request is made
//   unlock                 -> unlocked | refused
//   mode                   -> none | read | write
//   close                  -> closed
//   quit                   -> ends the process
//
// Contention run: contend <lock path> <tally path> <rounds> <seed>
//   Replies "ready", waits for a line "go", then takes the lock <rounds> times, a write lock
//   one time in four. The tally file holds two counters, shared by all the processes of the
//   run through a shared mapping: the readers and the writers holding the lock now. At
//   every acquisition and again just before every release the holder checks them: a writer
//   must be alone, a reader must see no writer. A writer also adds one to a counter stored
//   at offset 0 of the locked file itself, a reader reads it twice and must find it
//   unchanged. Prints "done <reads> <writes> <violations> <failures>".
#include "qtlockedfile.h"

#include <QCoreApplication>
#include <QRandomGenerator>

#include <cstdio>
#include <fcntl.h>
#include <iostream>
#include <sched.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

using Kest::QtLockedFile;

namespace {

void reply(const QByteArray& line)
{
    std::fwrite(line.constData(), 1, size_t(line.size()), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

void forwardMessage(QtMsgType, const QMessageLogContext&, const QString& text)
{
    reply("message: " + text.toUtf8());
}

QByteArray modeName(QtLockedFile::LockMode mode)
{
    switch (mode) {
    case QtLockedFile::ReadLock:
        return "read";
    case QtLockedFile::WriteLock:
        return "write";
    default:
        return "none";
    }
}

int interactive()
{
    QtLockedFile file;
    std::string text;
    while (std::getline(std::cin, text)) {
        const QList<QByteArray> words = QByteArray::fromStdString(text).simplified().split(' ');
        const QByteArray& command = words.value(0);
        if (command == "open" && words.size() == 3) {
            file.setFileName(QString::fromUtf8(words[1]));
            QIODevice::OpenMode mode = words[2] == "r"   ? QIODevice::ReadOnly
                                       : words[2] == "w" ? QIODevice::WriteOnly
                                                         : QIODevice::ReadWrite;
            reply(file.open(mode) ? "opened" : "not-opened");
        } else if (command == "lock" && words.size() == 3) {
            const QtLockedFile::LockMode mode = words[1] == "r"   ? QtLockedFile::ReadLock
                                                : words[1] == "w" ? QtLockedFile::WriteLock
                                                                  : QtLockedFile::NoLock;
            const bool block = words[2] == "wait";
            if (block)
                reply("pending");
            reply(file.lock(mode, block) ? "locked" : "refused");
        } else if (command == "unlock") {
            reply(file.unlock() ? "unlocked" : "refused");
        } else if (command == "mode") {
            reply(modeName(file.lockMode()));
        } else if (command == "close") {
            file.close();
            reply("closed");
        } else if (command == "quit") {
            return 0;
        } else {
            reply("unknown command: " + QByteArray::fromStdString(text));
        }
    }
    return 0;
}

// The counters of the tally file, shared by every process of a contention run.
struct Tally
{
    int readers;
    int writers;
};

int load(const int* counter)
{
    return __atomic_load_n(counter, __ATOMIC_SEQ_CST);
}

int add(int* counter, int value)
{
    return __atomic_add_fetch(counter, value, __ATOMIC_SEQ_CST);
}

qint64 readCounter(QtLockedFile& file)
{
    qint64 value = 0;
    if (!file.seek(0) || file.read(reinterpret_cast<char*>(&value), sizeof value) != sizeof value)
        return -1;
    return value;
}

int contend(const QString& lockPath, const QString& tallyPath, int rounds, quint32 seed)
{
    QtLockedFile file(lockPath);
    if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered)) {
        reply("cannot open the locked file");
        return 1;
    }
    const int tallyFd = ::open(tallyPath.toLocal8Bit().constData(), O_RDWR);
    void* mapping = tallyFd < 0 ? MAP_FAILED
                                : ::mmap(nullptr, sizeof(Tally), PROT_READ | PROT_WRITE, MAP_SHARED,
                                         tallyFd, 0);
    if (mapping == MAP_FAILED) {
        reply("cannot map the tally file");
        return 1;
    }
    auto* tally = static_cast<Tally*>(mapping);

    reply("ready");
    std::string go;
    if (!std::getline(std::cin, go) || go != "go")
        return 1;

    QRandomGenerator random(seed);
    int reads = 0;
    int writes = 0;
    int violations = 0;
    int failures = 0;
    for (int round = 0; round < rounds; ++round) {
        const bool write = random.bounded(4) == 0;
        if (!file.lock(write ? QtLockedFile::WriteLock : QtLockedFile::ReadLock, true)) {
            ++failures;
            continue;
        }
        if (write) {
            ++writes;
            if (add(&tally->writers, 1) != 1 || load(&tally->readers) != 0)
                ++violations;
            const qint64 next = readCounter(file) + 1;
            sched_yield();
            if (next <= 0 || !file.seek(0) ||
                file.write(reinterpret_cast<const char*>(&next), sizeof next) != sizeof next)
                ++failures;
            if (load(&tally->writers) != 1 || load(&tally->readers) != 0)
                ++violations;
            add(&tally->writers, -1);
        } else {
            ++reads;
            add(&tally->readers, 1);
            if (load(&tally->writers) != 0)
                ++violations;
            const qint64 before = readCounter(file);
            sched_yield();
            if (readCounter(file) != before)
                ++violations;
            if (load(&tally->writers) != 0)
                ++violations;
            add(&tally->readers, -1);
        }
        if (!file.unlock())
            ++failures;
    }
    reply(QByteArray("done ") + QByteArray::number(reads) + ' ' + QByteArray::number(writes) + ' ' +
          QByteArray::number(violations) + ' ' + QByteArray::number(failures));
    ::munmap(mapping, sizeof(Tally));
    ::close(tallyFd);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qInstallMessageHandler(forwardMessage);
    const QStringList args = app.arguments();
    if (args.size() == 6 && args[1] == QLatin1String("contend"))
        return contend(args[2], args[3], args[4].toInt(), args[5].toUInt());
    if (args.size() == 1)
        return interactive();
    reply("usage: lockhelper [contend <lock path> <tally path> <rounds> <seed>]");
    return 2;
}
