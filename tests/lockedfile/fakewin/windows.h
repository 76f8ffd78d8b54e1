#pragma once

// A test-only stand-in for the part of the Windows kernel interface that the locked file's
// Windows mechanism uses, so that the mechanism compiles and runs inside one process here.
//
// Named mutexes as the kernel keeps them: a mutex is owned by one thread at a time, and
// recursively by that thread (every successful wait is matched by a release); a name exists
// while a handle to its mutex is open and vanishes with the last one. Waits block forever, for
// some milliseconds or not at all, on one mutex or on up to 64 at once, where wait-all owns all
// of them in one step or none. Errors are reported through a per-thread last-error value.
// Unlike the kernel, a mutex whose owner thread ends stays owned: the tests release every lock
// on the thread that took it.

#include <cstdint>

typedef void* HANDLE;
typedef std::uint32_t DWORD;
typedef int BOOL;
typedef const char16_t* LPCWSTR;
typedef struct _SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

#define FALSE 0
#define TRUE 1
#define INFINITE 0xFFFFFFFFu
#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_OWNER 288u
#define SYNCHRONIZE 0x00100000u
#define MUTEX_MODIFY_STATE 0x00000001u

HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);
HANDLE OpenMutexW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name);
DWORD GetLastError();
DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds);
BOOL ReleaseMutex(HANDLE mutex);
BOOL CloseHandle(HANDLE handle);

// Probes for the tests; no part of the kernel interface.
namespace FakeWin {
bool mutexExists(const char16_t* name);
int openHandles();
// Waits (up to ten seconds) until at least `count` threads sleep in a blocking wait.
bool waitForSleepers(int count);
} // namespace FakeWin
