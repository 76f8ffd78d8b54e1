#pragma once

#include <QFile>
#include <QString>

#if defined(Q_OS_WIN) || defined(KEST_LOCKEDFILE_WIN_MECHANISM)
#include "namedmutexlock.h"
#endif

namespace Kest {

// A QFile with advisory locks that coordinate processes (and objects) working on the same
// path: a read lock is shared, a write lock is exclusive. The locks keep nothing from
// reading or writing the file; they only exclude other holders of such locks.
class QtLockedFile : public QFile
{
public:
    enum LockMode { NoLock = 0, ReadLock = 1, WriteLock = 2 };

    QtLockedFile();
    explicit QtLockedFile(const QString& name);
    ~QtLockedFile() override;

    // Refuses Truncate: emptying a file must wait until its write lock is held.
    bool open(OpenMode mode) override;

    bool lock(LockMode mode, bool block = true);
    bool unlock();
    bool isLocked() const;
    LockMode lockMode() const;

private:
    // The platform's halves of lock() and unlock(), which keep the state and its rules:
    // acquireLock takes a lock of `mode` while none is held; releaseLock gives back the lock
    // of mode `lockmode`. Neither changes `lockmode`.
    bool acquireLock(LockMode mode, bool block);
    bool releaseLock();
    // Gives up whatever the mechanism still keeps for this object; the destructor's last step.
    void releaseMechanism();

#if defined(Q_OS_WIN) || defined(KEST_LOCKEDFILE_WIN_MECHANISM)
    // Named kernel mutexes, one writer mutex per path and 64 reader slots beside it, named
    // after the path the first time a lock is taken.
    // Its messages go to Qt's warning channel: system errors through qErrnoWarning.
    static void reportLockMessage(NamedMutexLock::MessageKind kind, const char* message);
    NamedMutexLock mutexes{&QtLockedFile::reportLockMessage};
#else
    // Open file description locks: a duplicate of the file's descriptor, made when a lock is
    // taken, owns the locks until they are released, whatever happens to the file's own
    // descriptor meanwhile. -1 exactly while no lock is held.
    int lockfd = -1;
#endif
    LockMode lockmode = NoLock;
};

} // namespace Kest
