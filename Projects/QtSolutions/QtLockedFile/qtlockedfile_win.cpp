// The lock mechanism on Windows: named kernel mutexes.
//
// Every path has one writer mutex and 64 reader-slot mutexes, all named after the path, so
// that every process (and every object) that locks the path finds the same ones:
//   - the writer mutex is named "QtLockedFile mutex " followed by the file's absolute path in
//     lower case (paths that differ only in letter case name one file there, and share one
//     lock); reader slot i is named by the same text followed by i in decimal;
//   - every request first owns the writer mutex. A reader then owns one free reader slot and
//     lets the writer mutex go; a writer keeps it and also owns every reader slot that exists.
//     Holding the writer mutex while it waits for the slots is what keeps new readers out
//     while a writer waits for the readers present;
//   - a reader slot exists only while somebody has a handle to it, so a reader that unlocks
//     and closes its handle makes its slot free again for the next one.
// A mutex belongs to the thread that owns it, so a lock is released by the thread that took
// it, and a second object used from the same thread is not kept out by the first (the system
// lets a thread own a mutex it owns again). 64 is the most handles a thread can wait on at
// once, and so the most readers a path can have at one time.
#include "qtlockedfile.h"

#include <QFileInfo>

#include <windows.h>

namespace Kest {

namespace {

constexpr int ReaderSlots = 64;

LPCWSTR wideName(const QString& name)
{
    return reinterpret_cast<LPCWSTR>(name.utf16());
}

} // namespace

// The writer mutex for `slot` -1, reader slot `slot` otherwise. Create makes the mutex when
// it does not exist (and opens it when it does); OpenExisting gives null, quietly, when no
// such mutex exists.
Qt::HANDLE QtLockedFile::slotMutex(int slot, MutexAccess access)
{
    if (mutexname.isEmpty()) {
        const QFileInfo info(*this);
        mutexname = QStringLiteral("QtLockedFile mutex ") + info.absoluteFilePath().toLower();
    }
    QString name = mutexname;
    if (slot >= 0)
        name += QString::number(slot);

    if (access == MutexAccess::Create) {
        HANDLE mutex = CreateMutexW(NULL, FALSE, wideName(name));
        if (!mutex)
            qErrnoWarning("QtLockedFile::lock(): CreateMutex failed");
        return mutex;
    }
    HANDLE mutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, wideName(name));
    if (!mutex && GetLastError() != ERROR_FILE_NOT_FOUND)
        qErrnoWarning("QtLockedFile::lock(): OpenMutex failed");
    return mutex;
}

// Owns `mutex`, waiting as long as needed or not at all. A mutex whose former owner ended
// without releasing it is owned all the same.
bool QtLockedFile::acquireMutex(Qt::HANDLE mutex, bool block)
{
    const DWORD result = WaitForSingleObject(mutex, block ? INFINITE : 0);
    switch (result) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
        return true;
    case WAIT_TIMEOUT:
        return false;
    default:
        qErrnoWarning("QtLockedFile::lock(): WaitForSingleObject failed");
        return false;
    }
}

bool QtLockedFile::acquireLock(LockMode mode, bool block)
{
    if (!wmutex) {
        wmutex = slotMutex(-1, MutexAccess::Create);
        if (!wmutex)
            return false;
    }
    if (!acquireMutex(wmutex, block))
        return false;

    if (mode == ReadLock) {
        // Find a slot: the first that does not exist, or one that exists but that no other
        // reader owns (its owner ended, or it is this thread).
        int slot = 0;
        bool reused = false;
        for (; slot < ReaderSlots; ++slot) {
            rmutex = slotMutex(slot, MutexAccess::OpenExisting);
            if (!rmutex)
                break;
            if (acquireMutex(rmutex, false)) {
                reused = true;
                break;
            }
            CloseHandle(rmutex);
        }
        if (slot == ReaderSlots) {
            qWarning("QtLockedFile::lock(): too many readers");
            rmutex = nullptr;
            ReleaseMutex(wmutex);
            return false;
        }
        if (!reused) {
            rmutex = slotMutex(slot, MutexAccess::Create);
            if (!rmutex || !acquireMutex(rmutex, false)) {
                if (rmutex)
                    CloseHandle(rmutex);
                rmutex = nullptr;
                ReleaseMutex(wmutex);
                return false;
            }
        }
        // A reader keeps only its slot.
        ReleaseMutex(wmutex);
        return true;
    }

    // A writer keeps the writer mutex and waits for every slot that exists at once.
    Q_ASSERT(rmutexes.isEmpty());
    for (int slot = 0; slot < ReaderSlots; ++slot) {
        HANDLE mutex = slotMutex(slot, MutexAccess::OpenExisting);
        if (mutex)
            rmutexes.append(mutex);
    }
    if (!rmutexes.isEmpty()) {
        const DWORD result = WaitForMultipleObjects(DWORD(rmutexes.size()), rmutexes.constData(),
                                                    TRUE, block ? INFINITE : 0);
        if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED) {
            if (result != WAIT_TIMEOUT)
                qErrnoWarning("QtLockedFile::lock(): WaitForMultipleObjects failed");
            releaseWriterHold();
            return false;
        }
    }
    return true;
}

// Gives back what a writer holds, or what a refused writer took: the slot handles (owned or
// merely opened; releasing one that is not owned does nothing) and the writer mutex.
void QtLockedFile::releaseWriterHold()
{
    for (HANDLE mutex : std::as_const(rmutexes)) {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
    rmutexes.clear();
    // The writer mutex handle stays open for the next lock.
    ReleaseMutex(wmutex);
}

bool QtLockedFile::releaseLock()
{
    if (lockmode == ReadLock) {
        ReleaseMutex(rmutex);
        CloseHandle(rmutex);
        rmutex = nullptr;
    } else {
        releaseWriterHold();
    }
    return true;
}

void QtLockedFile::releaseMechanism()
{
    if (wmutex)
        CloseHandle(wmutex);
}

} // namespace Kest
