// The lock mechanism on Windows: named kernel mutexes.
//
// Every path has one writer mutex and 64 reader-slot mutexes, all named after the path, so
// that every process (and every object) that locks the path finds the same ones:
//   - the writer mutex is named "QtLockedFile mutex " followed by the file's absolute path in
//     lower case (paths that differ only in letter case name one file there, and share one
//     lock, while the system's object names are case-sensitive); reader slot i is named by the
//     same text followed by i in decimal. The path has '/' separators: a backslash in an
//     object name would be read as a namespace path;
//   - every request first owns the writer mutex. A reader then owns one free reader slot and
//     lets the writer mutex go; a writer keeps it and also owns every reader slot that exists.
//     Holding the writer mutex while it waits for the slots is what keeps new readers out
//     while a writer waits for the readers present;
//   - a reader slot exists only while somebody has a handle to it, so a reader that unlocks
//     and closes its handle makes its slot free again for the next one.
// A holder that ends without unlocking leaves its mutexes abandoned: the system frees them, and
// the next wait owns them with WAIT_ABANDONED, which counts as owned. The lock only ever
// guarded the right to touch the file, which the holder no longer uses.
// A mutex belongs to the thread that owns it, so a lock is released by the thread that took
// it, and a second object used from the same thread is not kept out by the first (the system
// lets a thread own a mutex it owns again). 64 is the most handles a thread can wait on at
// once, and so the most readers a path can have at one time.
#include "namedmutexlock.h"

#include <cassert>

#include <windows.h>

namespace Kest {

static_assert(NamedMutexLock::ReaderSlots <= MAXIMUM_WAIT_OBJECTS,
              "a writer waits for every reader slot in one call");

NamedMutexLock::NamedMutexLock(Reporter reporter) : report(reporter)
{
}

NamedMutexLock::~NamedMutexLock()
{
    if (wmutex)
        CloseHandle(wmutex);
}

bool NamedMutexLock::isNamed() const
{
    return !mutexname.empty();
}

void NamedMutexLock::setName(const std::wstring& path)
{
    mutexname = L"QtLockedFile mutex " + path;
}

// The writer mutex for `slot` -1, reader slot `slot` otherwise. With `create` the mutex is made
// when it does not exist (and opened when it does); without, null comes back, quietly, when no
// such mutex exists.
void* NamedMutexLock::slotMutex(int slot, bool create)
{
    std::wstring name = mutexname;
    if (slot >= 0)
        name += std::to_wstring(slot);

    if (create) {
        HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
        if (!mutex)
            report(MessageKind::SystemError, "QtLockedFile::lock(): CreateMutex failed");
        return mutex;
    }
    HANDLE mutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
    if (!mutex && GetLastError() != ERROR_FILE_NOT_FOUND)
        report(MessageKind::SystemError, "QtLockedFile::lock(): OpenMutex failed");
    return mutex;
}

// Owns `mutex`, waiting as long as needed or not at all.
bool NamedMutexLock::own(void* mutex, bool block)
{
    switch (WaitForSingleObject(mutex, block ? INFINITE : 0)) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
        return true;
    case WAIT_TIMEOUT:
        return false;
    default:
        report(MessageKind::SystemError, "QtLockedFile::lock(): WaitForSingleObject failed");
        return false;
    }
}

bool NamedMutexLock::acquire(Mode mode, bool block)
{
    if (!wmutex) {
        wmutex = slotMutex(-1, true);
        if (!wmutex)
            return false;
    }
    if (!own(wmutex, block))
        return false;

    if (mode == Mode::Read) {
        // Find a slot: the first that does not exist, or one that exists but that no other
        // reader owns (its owner ended, or it is this thread).
        int slot = 0;
        bool reused = false;
        for (; slot < ReaderSlots; ++slot) {
            rmutex = slotMutex(slot, false);
            if (!rmutex)
                break;
            if (own(rmutex, false)) {
                reused = true;
                break;
            }
            CloseHandle(rmutex);
        }
        if (slot == ReaderSlots) {
            report(MessageKind::Plain, "QtLockedFile::lock(): too many readers");
            rmutex = nullptr;
            ReleaseMutex(wmutex);
            return false;
        }
        if (!reused) {
            rmutex = slotMutex(slot, true);
            if (!rmutex || !own(rmutex, false)) {
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
    assert(rmutexes.empty());
    for (int slot = 0; slot < ReaderSlots; ++slot) {
        if (HANDLE mutex = slotMutex(slot, false))
            rmutexes.push_back(mutex);
    }
    if (!rmutexes.empty()) {
        const DWORD result = WaitForMultipleObjects(DWORD(rmutexes.size()), rmutexes.data(), TRUE,
                                                    block ? INFINITE : 0);
        if (result != WAIT_OBJECT_0 && result != WAIT_ABANDONED_0) {
            if (result != WAIT_TIMEOUT)
                report(MessageKind::SystemError,
                       "QtLockedFile::lock(): WaitForMultipleObjects failed");
            releaseWriter();
            return false;
        }
    }
    return true;
}

// Gives back what a writer holds, or what a refused writer took: the slot handles (owned or
// merely opened; releasing one that is not owned does nothing) and the writer mutex.
void NamedMutexLock::releaseWriter()
{
    for (HANDLE mutex : rmutexes) {
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    }
    rmutexes.clear();
    // The writer mutex handle stays open for the next lock.
    ReleaseMutex(wmutex);
}

void NamedMutexLock::release(Mode mode)
{
    if (mode == Mode::Read) {
        ReleaseMutex(rmutex);
        CloseHandle(rmutex);
        rmutex = nullptr;
    } else {
        releaseWriter();
    }
}

} // namespace Kest
