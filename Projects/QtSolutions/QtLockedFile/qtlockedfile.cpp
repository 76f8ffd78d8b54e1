// The platform-neutral part of the locked file: construction, destruction, opening and the
// state queries. How a lock is taken and released lives in the mechanism of each system
// (qtlockedfile_win.cpp on Windows, qtlockedfile_unix.cpp elsewhere).
#include "qtlockedfile.h"

namespace Kest {

QtLockedFile::QtLockedFile() = default;

QtLockedFile::QtLockedFile(const QString& name) : QFile(name)
{
}

// A lock can only be released while the file is open (unlock refuses otherwise), so a lock
// left on a closed file is not released here; the mechanism then drops what it still keeps.
QtLockedFile::~QtLockedFile()
{
    if (isOpen())
        unlock();
    releaseMechanism();
}

// Truncate is refused because it would empty the file before any lock protects it: a caller
// that must empty the file takes the write lock first and then resizes it.
bool QtLockedFile::open(OpenMode mode)
{
    if (mode & QIODevice::Truncate) {
        qWarning("QtLockedFile::open(): Truncate mode not allowed.");
        return false;
    }
    return QFile::open(mode);
}

bool QtLockedFile::lock(LockMode mode, bool block)
{
    if (!isOpen()) {
        qWarning("QtLockedFile::lock(): file is not opened");
        return false;
    }
    if (mode == NoLock)
        return unlock();
    if (mode == lockmode)
        return true;
    // Changing mode releases first; the path is unlocked in between. If the old lock cannot
    // be released, the new one is not tried: the object would hold two.
    if (lockmode != NoLock && !unlock())
        return false;
    if (!acquireLock(mode, block))
        return false;
    lockmode = mode;
    return true;
}

bool QtLockedFile::unlock()
{
    if (!isOpen()) {
        qWarning("QtLockedFile::unlock(): file is not opened");
        return false;
    }
    if (lockmode == NoLock)
        return true;
    if (!releaseLock())
        return false;
    lockmode = NoLock;
    return true;
}

bool QtLockedFile::isLocked() const
{
    return lockmode != NoLock;
}

QtLockedFile::LockMode QtLockedFile::lockMode() const
{
    return lockmode;
}

} // namespace Kest
