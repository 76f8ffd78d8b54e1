// The lock mechanism on Windows: the locked file's side of it. The named kernel mutexes
// themselves are NamedMutexLock's (namedmutexlock.cpp); this part names them after the file and
// shows their messages.
#include "qtlockedfile.h"

#include <QFileInfo>

namespace Kest {

namespace {

NamedMutexLock::Mode mutexMode(QtLockedFile::LockMode mode)
{
    return mode == QtLockedFile::ReadLock ? NamedMutexLock::Mode::Read
                                          : NamedMutexLock::Mode::Write;
}

} // namespace

void QtLockedFile::reportLockMessage(NamedMutexLock::MessageKind kind, const char* message)
{
    if (kind == NamedMutexLock::MessageKind::SystemError)
        qErrnoWarning("%s", message);
    else
        qWarning("%s", message);
}

bool QtLockedFile::acquireLock(LockMode mode, bool block)
{
    // Named once: the lock stays with the path the file had when it was first locked, even if
    // the file is given another name later. Qt's absolute path has '/' separators; lower case
    // makes paths that differ only in letter case, one file on Windows, share one lock.
    if (!mutexes.isNamed())
        mutexes.setName(QFileInfo(*this).absoluteFilePath().toLower().toStdWString());
    return mutexes.acquire(mutexMode(mode), block);
}

bool QtLockedFile::releaseLock()
{
    mutexes.release(mutexMode(lockmode));
    return true;
}

// NamedMutexLock closes the writer mutex when it is destroyed, right after this.
void QtLockedFile::releaseMechanism()
{
}

} // namespace Kest
