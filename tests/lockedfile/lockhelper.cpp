// lockedfile_helper: a holder of a QtLockedFile on this system (see LockHolder.h), open for
// reading and writing; contenders share the file's first two ints as their counters.
#include "LockHolder.h"
#include "qtlockedfile.h"

#include <sched.h>

using Kest::QtLockedFile;

namespace {

struct Lock
{
    QtLockedFile file;
    bool lock(bool write, bool block)
    {
        return file.lock(write ? QtLockedFile::WriteLock : QtLockedFile::ReadLock, block);
    }
    bool unlock() { return file.unlock(); }
    std::string other(const std::string&) { return "unknown request"; }
    void pause() { sched_yield(); }
};

} // namespace

int main(int argc, char** argv)
{
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& text) {
        KestTest::say("message: " + text.toStdString());
    });
    Lock lock;
    lock.file.setFileName(QString::fromLocal8Bit(argc > 2 ? argv[2] : ""));
    if (argc < 3 || !lock.file.open(QIODevice::ReadWrite))
        return 2;
    if (argc == 5 && std::strcmp(argv[1], "contend") == 0) {
        auto* tally = reinterpret_cast<std::atomic<int>*>(lock.file.map(0, 2 * sizeof(int)));
        return KestTest::contend(lock, tally, std::atoi(argv[3]), unsigned(std::atoi(argv[4])));
    }
    return KestTest::hold(lock);
}
