#pragma once

// A test-only stand-in for the part of the Windows kernel interface that the locked file's
// Windows mechanism uses, so that the mechanism compiles and runs inside one process here.
//
// It models named mutexes as the kernel keeps them: a mutex is owned by one thread at a time
// and recursively by that thread (each wait that succeeds must be matched by a release); a
// name exists while at least one handle to its mutex is open and vanishes with the last one;
// a mutex whose owning thread ends is abandoned, and the next wait that gets it reports so.
// Waits can block forever or not at all (or for a number of milliseconds), on one mutex or on
// up to 64 at once with wait-all semantics (all of them are owned in one step, or none).
// Errors are reported through a per-thread last-error value as the kernel does.

#include <cstddef>
#include <cstdint>

#define WINAPI

typedef void* HANDLE;
typedef std::uint32_t DWORD;
typedef int BOOL;
typedef char16_t WCHAR; // UTF-16, as the kernel's wide strings are
typedef const WCHAR* LPCWSTR;
typedef struct _SECURITY_ATTRIBUTES* LPSECURITY_ATTRIBUTES;

#define FALSE 0
#define TRUE 1
#define INFINITE 0xFFFFFFFFu
#define MAXIMUM_WAIT_OBJECTS 64

#define WAIT_OBJECT_0 0x00000000u
#define WAIT_ABANDONED 0x00000080u
#define WAIT_ABANDONED_0 0x00000080u
#define WAIT_TIMEOUT 0x00000102u
#define WAIT_FAILED 0xFFFFFFFFu

#define ERROR_SUCCESS 0u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_ALREADY_EXISTS 183u
#define ERROR_NOT_OWNER 288u

#define SYNCHRONIZE 0x00100000u
#define MUTEX_MODIFY_STATE 0x00000001u

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES attributes, BOOL initialOwner, LPCWSTR name);
HANDLE WINAPI OpenMutexW(DWORD desiredAccess, BOOL inheritHandle, LPCWSTR name);
DWORD WINAPI GetLastError();
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds);
DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                    DWORD milliseconds);
BOOL WINAPI ReleaseMutex(HANDLE mutex);
BOOL WINAPI CloseHandle(HANDLE handle);

// Controls and probes for the tests; no part of the kernel interface.
namespace FakeWin {

enum class Call { CreateMutex, OpenMutex, WaitForSingleObject, WaitForMultipleObjects };

// Makes the call of kind `call` that comes after `skip` further calls of that kind fail with
// `error`, as the kernel would: a null handle, or WAIT_FAILED.
void failCall(Call call, int skip, DWORD error);
// Forgets failures that were asked for and not yet used.
void clearFailures();

// Whether a mutex of exactly this name exists now (names are compared as given).
bool mutexExists(const char16_t* name);
// The number of handles open now, over all mutexes.
int openHandles();
// The number of threads sleeping in a blocking wait now.
int blockedWaiters();
// Waits up to `milliseconds` until at least `count` threads sleep in a blocking wait.
bool waitForBlockedWaiters(int count, int milliseconds);

} // namespace FakeWin
