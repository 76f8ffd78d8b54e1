// The in-process model of named kernel mutexes behind the test-only windows.h. One lock guards
// the whole state; threads that sleep in a wait sleep on one condition variable, which every
// release (and every new sleeper, for waitForSleepers) wakes, and each re-checks its own wait.
#include "windows.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Mutex
{
    std::u16string name;
    std::thread::id owner; // meaningful while depth > 0
    int depth = 0;         // waits of the owner not yet matched by a release
    int handles = 0;
};
using MutexPtr = std::shared_ptr<Mutex>;

std::mutex kernel;
std::condition_variable changed;
std::map<std::u16string, MutexPtr> names;
// Handles are numbers, never addresses: a stale or foreign one is refused, not dereferenced.
std::map<HANDLE, MutexPtr> handles;
std::uintptr_t lastHandle = 0;
int sleepers = 0;
thread_local DWORD lastError = 0;

// A new handle to the mutex of `name`; with `create` the mutex is made, owned by nobody, if it
// does not exist.
HANDLE openNamed(LPCWSTR name, bool create)
{
    std::lock_guard<std::mutex> guard(kernel);
    MutexPtr& mutex = names[name];
    if (!mutex && !create) {
        names.erase(name);
        lastError = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    if (!mutex) {
        mutex = std::make_shared<Mutex>();
        mutex->name = name;
    }
    ++mutex->handles;
    const auto handle = reinterpret_cast<HANDLE>(++lastHandle);
    handles[handle] = mutex;
    return handle;
}

MutexPtr lookUp(HANDLE handle)
{
    const auto it = handles.find(handle);
    if (it != handles.end())
        return it->second;
    lastError = ERROR_INVALID_HANDLE;
    return nullptr;
}

DWORD wait(DWORD count, const HANDLE* list, bool all, DWORD milliseconds)
{
    std::unique_lock<std::mutex> guard(kernel);
    // The mutexes themselves are held: a handle closed meanwhile by another thread does not
    // take its mutex away from under this wait.
    std::vector<MutexPtr> mutexes;
    for (DWORD i = 0; i < count; ++i) {
        mutexes.push_back(lookUp(list[i]));
        if (!mutexes.back())
            return WAIT_FAILED;
    }
    const std::thread::id me = std::this_thread::get_id();
    const auto ownable = [&](const MutexPtr& m) { return m->depth == 0 || m->owner == me; };
    auto chosen = mutexes.end();
    const auto ready = [&] {
        const auto begin = mutexes.begin();
        const auto end = mutexes.end();
        chosen = !all                               ? std::find_if(begin, end, ownable)
                 : std::all_of(begin, end, ownable) ? begin
                                                    : end;
        return chosen != mutexes.end();
    };
    if (!ready() && milliseconds != 0) {
        ++sleepers;
        changed.notify_all();
        if (milliseconds == INFINITE)
            changed.wait(guard, ready);
        else
            changed.wait_for(guard, std::chrono::milliseconds(milliseconds), ready);
        --sleepers;
    }
    if (chosen == mutexes.end())
        return WAIT_TIMEOUT;
    for (auto it = chosen; it != (all ? mutexes.end() : chosen + 1); ++it) {
        (*it)->owner = me;
        ++(*it)->depth;
    }
    return WAIT_OBJECT_0 + DWORD(chosen - mutexes.begin());
}

} // namespace

// The tests' mechanism names every mutex and owns none at creation; neither is modelled.
HANDLE CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL, LPCWSTR name)
{
    return openNamed(name, true);
}

HANDLE OpenMutexW(DWORD, BOOL, LPCWSTR name)
{
    return openNamed(name, false);
}

DWORD GetLastError()
{
    return lastError;
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    return wait(1, &handle, true, milliseconds);
}

DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll, DWORD milliseconds)
{
    return wait(count, handles, waitAll != FALSE, milliseconds);
}

BOOL ReleaseMutex(HANDLE handle)
{
    std::lock_guard<std::mutex> guard(kernel);
    const MutexPtr mutex = lookUp(handle);
    if (!mutex)
        return FALSE;
    if (mutex->depth == 0 || mutex->owner != std::this_thread::get_id()) {
        lastError = ERROR_NOT_OWNER;
        return FALSE;
    }
    if (--mutex->depth == 0)
        changed.notify_all();
    return TRUE;
}

BOOL CloseHandle(HANDLE handle)
{
    std::lock_guard<std::mutex> guard(kernel);
    const MutexPtr mutex = lookUp(handle);
    if (!mutex)
        return FALSE;
    handles.erase(handle);
    // The name goes with the last handle, whether the mutex is owned or not.
    if (--mutex->handles == 0)
        names.erase(mutex->name);
    return TRUE;
}

bool FakeWin::mutexExists(const char16_t* name)
{
    std::lock_guard<std::mutex> guard(kernel);
    return names.count(name) != 0;
}

int FakeWin::openHandles()
{
    std::lock_guard<std::mutex> guard(kernel);
    return int(handles.size());
}

bool FakeWin::waitForSleepers(int count)
{
    std::unique_lock<std::mutex> guard(kernel);
    return changed.wait_for(guard, std::chrono::seconds(10), [&] { return sleepers >= count; });
}
