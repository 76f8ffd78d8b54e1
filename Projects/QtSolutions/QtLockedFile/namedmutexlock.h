#pragma once

// The Windows lock mechanism of the locked file, in plain C++ over the Win32 API: no Qt here,
// and no <windows.h> in this header (handles are kept as void*, which is what HANDLE is), so
// that the locked file can hold one by value and a test program can drive it without Qt.

#include <string>
#include <vector>

namespace Kest {

// The lock of one file object, made of named kernel mutexes: one writer mutex and 64 reader
// slots per path, all named after the path (see namedmutexlock.cpp for the protocol). It keeps
// no lock mode of its own: the caller knows which lock it holds and says so to release().
// A mutex belongs to the thread that owns it, so acquire() and the matching release() must be
// called from one thread.
class NamedMutexLock
{
public:
    enum class Mode { Read, Write };

    // How a message is to be shown: as it is, or with the description of the calling thread's
    // last system error added. The reporter is called straight after the failed system call,
    // before any other one, so that the last error is still the failed call's.
    enum class MessageKind { Plain, SystemError };
    using Reporter = void (*)(MessageKind kind, const char* message);

    static constexpr int ReaderSlots = 64;

    explicit NamedMutexLock(Reporter reporter);
    // Closes the writer mutex. A lock still held is not released: only its owning thread
    // could, and it keeps its slot until the process ends.
    ~NamedMutexLock();
    NamedMutexLock(const NamedMutexLock&) = delete;
    NamedMutexLock& operator=(const NamedMutexLock&) = delete;

    // Whether the mutexes have been named yet; they are named once and keep that name.
    bool isNamed() const;
    // Names the mutexes after `path`: the file's absolute path with '/' separators, in lower
    // case, so that every holder of the same file gives the same text. Before the first acquire.
    void setName(const std::wstring& path);

    // Takes a lock of `mode` while this object holds none, waiting as long as needed when
    // `block` is set and not at all otherwise. A plain conflict gives false quietly; failed
    // system calls are reported. After false the object holds no lock and owns no mutex.
    bool acquire(Mode mode, bool block);
    // Gives back the lock of `mode` that the last successful acquire took.
    void release(Mode mode);

private:
    void* slotMutex(int slot, bool create);
    bool own(void* mutex, bool block);
    void releaseWriter();

    Reporter report;
    std::wstring mutexname;      // base name of the path's mutexes; empty until named
    void* wmutex = nullptr;      // the path's writer mutex, open from the first acquire on
    void* rmutex = nullptr;      // the reader slot owned while a read lock is held
    std::vector<void*> rmutexes; // every reader slot owned while a write lock is held
};

} // namespace Kest
