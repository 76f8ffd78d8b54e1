// The lock mechanism on Linux: open file description locks on two bytes far past any data.
//
// Why open file description locks. Classic record locks (F_SETLK) belong to a process: they
// never conflict with other locks of the same process, and any close() of any descriptor of
// the file anywhere in the process drops them all. The archive opens the same path more than
// once inside one process (a second archive object, a quick read-only open to answer whether
// the file is locked), so with those locks two archive objects would not exclude each other,
// and the quick open's close would silently drop the lock of the archive already open. Open
// file description locks (F_OFD_SETLK, F_OFD_SETLKW) belong to the open file description that
// open() made instead: every QtLockedFile object opens the file itself and so gets its own
// description, two objects conflict with each other even inside one process, and closing
// another descriptor of the same file touches nothing. The kernel drops them when the last
// descriptor of the description closes, which includes the death of the holder process.
//
// Why two bytes. A shared lock on one byte alone lets readers arrive one after the other
// forever while a writer waits for the byte to be free. So each path has a gate byte and a
// data byte:
//   - a writer takes the gate exclusively, then the data byte exclusively, and keeps both
//     until it unlocks. While it waits for the data byte (that is, for the readers present to
//     leave) it already holds the gate, so no new reader gets past it;
//   - a reader takes the gate shared, then the data byte shared, and lets the gate go at once.
//     It holds the gate only for that moment, so readers do not keep writers out of the gate,
//     and a reader that finds the gate taken waits (or fails, when not blocking) behind the
//     writer that holds it.
// A reader that holds the gate shared can never find the data byte held exclusively: a writer
// takes the data byte only while holding the gate exclusively. So both steps of a reader wait
// only on the gate, and no pair of requests can wait for each other. The bytes sit at the top
// of the offset range, where no file data ever is, and the locks are advisory: they keep
// nobody from reading or writing the file.
//
// Why a duplicate descriptor. The lock belongs to the object, not to the descriptor that
// QFile holds at the moment: closing the file must not release it (unlock refuses once the
// file is closed, and the object still reports the lock), and opening the object again must
// not make it report a lock it no longer has. So the locks are set through a duplicate of the
// file's descriptor, taken with the lock and closed with it; the duplicate shares the file's
// open file description, so the locks are the ones of that description. A lock left on a
// closed file lasts until the object is destroyed, which closes the duplicate.
//
// Limits that follow from the system: a read lock needs the file open for reading and a write
// lock needs it open for writing (otherwise the request fails with a system-error warning);
// the number of readers is not limited; and a blocking request that conflicts with another
// object used by the same thread waits forever, as the kernel does not look for deadlocks
// between open file description locks.
#include "qtlockedfile.h"

#include <cerrno>
#include <fcntl.h>
#include <limits>
#include <unistd.h>

#if !defined(F_OFD_SETLK) || !defined(F_OFD_SETLKW)
#error "The locked file needs open file description locks (Linux 3.15 or later)."
#endif

namespace Kest {

namespace {

using Offset = decltype(flock::l_start);

// The data byte is the last one a lock can name (a range must end at or below the largest
// offset); the gate sits just below it, so one range of two bytes covers both.
constexpr Offset DataByte = std::numeric_limits<Offset>::max() - 1;
constexpr Offset GateByte = DataByte - 1;
constexpr Offset BothBytes = 2;

enum class Outcome { Done, Busy, Failed };

// Places a lock of `type` (F_RDLCK, F_WRLCK, or F_UNLCK to release) on `length` bytes from
// `start` of the open file description of `fd`. With `wait` the call sleeps until no other
// description holds a conflicting lock; without it a conflict gives Busy at once. System
// failures are reported with `failure` (which names the calling operation) and give Failed.
Outcome setLock(int fd, short type, Offset start, Offset length, bool wait, const char* failure)
{
    struct flock request = {};
    request.l_type = type;
    request.l_whence = SEEK_SET;
    request.l_start = start;
    request.l_len = length;
    request.l_pid = 0; // must be 0 for open file description locks
    const int command = wait ? F_OFD_SETLKW : F_OFD_SETLK;
    for (;;) {
        if (::fcntl(fd, command, &request) == 0)
            return Outcome::Done;
        // A signal handler that ran during a wait ends it early; the request still stands.
        if (errno == EINTR)
            continue;
        // Another description holds a conflicting lock: a plain conflict, not an error.
        if (!wait && (errno == EAGAIN || errno == EACCES))
            return Outcome::Busy;
        qErrnoWarning("%s", failure);
        return Outcome::Failed;
    }
}

const char* lockFailure(bool wait)
{
    return wait ? "QtLockedFile::lock(): fcntl(F_OFD_SETLKW) failed"
                : "QtLockedFile::lock(): fcntl(F_OFD_SETLK) failed";
}

// Lets the gate go after a failed or finished step. Releasing a byte this description holds
// does not fail on a valid descriptor; if it ever does, the caller cannot do more than report.
bool releaseGate(int fd)
{
    return setLock(fd, F_UNLCK, GateByte, 1, false,
                   "QtLockedFile::lock(): fcntl(F_OFD_SETLK) failed") == Outcome::Done;
}

bool takeReadLock(int fd, bool block)
{
    if (setLock(fd, F_RDLCK, GateByte, 1, block, lockFailure(block)) != Outcome::Done)
        return false;
    // With the gate held shared no writer holds the data byte, so this does not wait.
    if (setLock(fd, F_RDLCK, DataByte, 1, block, lockFailure(block)) != Outcome::Done) {
        releaseGate(fd);
        return false;
    }
    if (!releaseGate(fd)) {
        // Keeping the gate would bar every writer for as long as the read lock lasts.
        setLock(fd, F_UNLCK, GateByte, BothBytes, false,
                "QtLockedFile::lock(): fcntl(F_OFD_SETLK) failed");
        return false;
    }
    return true;
}

bool takeWriteLock(int fd, bool block)
{
    if (setLock(fd, F_WRLCK, GateByte, 1, block, lockFailure(block)) != Outcome::Done)
        return false;
    // From here new readers stay out; wait (or not) for the readers present to leave.
    if (setLock(fd, F_WRLCK, DataByte, 1, block, lockFailure(block)) != Outcome::Done) {
        releaseGate(fd);
        return false;
    }
    return true;
}

} // namespace

bool QtLockedFile::acquireLock(LockMode mode, bool block)
{
    const int fd = ::fcntl(handle(), F_DUPFD_CLOEXEC, 0);
    if (fd < 0) {
        qErrnoWarning("QtLockedFile::lock(): cannot duplicate the file descriptor");
        return false;
    }
    const bool taken = mode == ReadLock ? takeReadLock(fd, block) : takeWriteLock(fd, block);
    if (!taken) {
        // Nothing is held on the description any more, so closing the duplicate is all.
        ::close(fd);
        return false;
    }
    lockfd = fd;
    return true;
}

bool QtLockedFile::releaseLock()
{
    // Closing the duplicate alone would not do: the file's own descriptor keeps the open file
    // description, and with it the locks, alive.
    if (setLock(lockfd, F_UNLCK, GateByte, BothBytes, false,
                "QtLockedFile::unlock(): fcntl(F_OFD_SETLK) failed") != Outcome::Done)
        return false;
    ::close(lockfd);
    lockfd = -1;
    return true;
}

// Here the file is closed, or the lock was released by the destructor. Closing a duplicate
// that still carries a lock closes the last descriptor of its description (the file's own is
// gone), which makes the kernel release the lock.
void QtLockedFile::releaseMechanism()
{
    if (lockfd >= 0) {
        ::close(lockfd);
        lockfd = -1;
    }
}

} // namespace Kest
