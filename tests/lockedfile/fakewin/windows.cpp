// The in-process model of named kernel mutexes behind the test-only windows.h.
//
// One registry, guarded by one std::mutex, holds every mutex and every open handle. A handle
// is a heap object that points at its mutex; the registry knows which handles are open, so a
// stale or foreign handle is refused with ERROR_INVALID_HANDLE instead of being dereferenced.
// Threads that sleep in a wait sleep on one condition variable that every release and every
// abandonment wakes; each re-checks its own condition.
#include "windows.h"

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Mutex
{
    std::u16string name;   // empty for a mutex without a name
    std::thread::id owner; // no thread when free
    int recursion = 0;     // waits of the owner not yet matched by a release
    int handles = 0;
    bool abandoned = false; // its owner ended without releasing it; cleared by the next owner
};

struct Handle
{
    std::shared_ptr<Mutex> mutex;
    DWORD access;
};

struct Failure
{
    FakeWin::Call call;
    int skip;
    DWORD error;
};

struct Registry
{
    std::mutex lock;
    std::condition_variable released;       // a mutex became free
    std::condition_variable waitersChanged; // a thread started to sleep in a wait
    std::map<std::u16string, std::shared_ptr<Mutex>> names;
    std::set<Handle*> handles;
    std::vector<Failure> failures;
    int blocked = 0;
};

// Never destroyed: threads that end after main() returns still abandon their mutexes here.
Registry& registry()
{
    static Registry* instance = new Registry;
    return *instance;
}

thread_local DWORD lastError = ERROR_SUCCESS;

constexpr DWORD AllAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;

// Marks the mutexes that the ending thread still owns as abandoned, as the kernel does.
struct ThreadEnd
{
    ~ThreadEnd()
    {
        Registry& r = registry();
        const std::thread::id me = std::this_thread::get_id();
        std::lock_guard<std::mutex> guard(r.lock);
        for (Handle* handle : r.handles) {
            Mutex& m = *handle->mutex;
            if (m.owner == me) {
                m.owner = std::thread::id();
                m.recursion = 0;
                m.abandoned = true;
            }
        }
        r.released.notify_all();
    }
};

// Called (with the registry locked) by every thread that comes to own a mutex, so that its
// end is noticed.
void watchThreadEnd()
{
    thread_local ThreadEnd watcher;
    (void)watcher;
}

// True when a failure was asked for this call; the failure's error is then the last error.
bool injectedFailure(Registry& r, FakeWin::Call call)
{
    for (auto it = r.failures.begin(); it != r.failures.end(); ++it) {
        if (it->call != call)
            continue;
        if (it->skip > 0) {
            --it->skip;
            return false;
        }
        lastError = it->error;
        r.failures.erase(it);
        return true;
    }
    return false;
}

Handle* openHandle(Registry& r, const std::shared_ptr<Mutex>& mutex, DWORD access)
{
    auto* handle = new Handle{mutex, access};
    ++mutex->handles;
    r.handles.insert(handle);
    return handle;
}

Handle* validHandle(Registry& r, HANDLE handle)
{
    auto* h = static_cast<Handle*>(handle);
    return r.handles.count(h) ? h : nullptr;
}

bool ownable(const Mutex& m, std::thread::id me)
{
    return m.owner == std::thread::id() || m.owner == me;
}

// Takes `m` for the calling thread; true when it had been abandoned.
bool take(Mutex& m, std::thread::id me)
{
    m.owner = me;
    ++m.recursion;
    const bool wasAbandoned = m.abandoned;
    m.abandoned = false;
    return wasAbandoned;
}

DWORD wait(FakeWin::Call call, DWORD count, const HANDLE* handles, bool waitAll, DWORD milliseconds)
{
    Registry& r = registry();
    std::unique_lock<std::mutex> guard(r.lock);
    if (injectedFailure(r, call))
        return WAIT_FAILED;
    if (count == 0 || count > MAXIMUM_WAIT_OBJECTS || !handles) {
        lastError = ERROR_INVALID_PARAMETER;
        return WAIT_FAILED;
    }
    // Hold the mutexes themselves: a handle closed by another thread during the wait must
    // not pull the mutex away from under this one.
    std::vector<std::shared_ptr<Mutex>> mutexes;
    for (DWORD i = 0; i < count; ++i) {
        Handle* h = validHandle(r, handles[i]);
        if (!h) {
            lastError = ERROR_INVALID_HANDLE;
            return WAIT_FAILED;
        }
        if (!(h->access & SYNCHRONIZE)) {
            lastError = ERROR_ACCESS_DENIED;
            return WAIT_FAILED;
        }
        mutexes.push_back(h->mutex);
    }

    const std::thread::id me = std::this_thread::get_id();
    // The index that is ready now: for wait-all 0 when all are, for wait-any the first that
    // is; -1 when the wait must go on.
    auto ready = [&]() -> int {
        for (DWORD i = 0; i < count; ++i) {
            const bool free = ownable(*mutexes[i], me);
            if (waitAll && !free)
                return -1;
            if (!waitAll && free)
                return int(i);
        }
        return waitAll ? 0 : -1;
    };
    int index = ready();
    if (index < 0 && milliseconds != 0) {
        ++r.blocked;
        r.waitersChanged.notify_all();
        if (milliseconds == INFINITE) {
            r.released.wait(guard, [&] { return (index = ready()) >= 0; });
        } else {
            r.released.wait_for(guard, std::chrono::milliseconds(milliseconds),
                                [&] { return (index = ready()) >= 0; });
        }
        --r.blocked;
    }
    if (index < 0)
        return WAIT_TIMEOUT;

    watchThreadEnd();
    if (!waitAll)
        return (take(*mutexes[index], me) ? WAIT_ABANDONED_0 : WAIT_OBJECT_0) + DWORD(index);
    int firstAbandoned = -1;
    for (DWORD i = 0; i < count; ++i) {
        if (take(*mutexes[i], me) && firstAbandoned < 0)
            firstAbandoned = int(i);
    }
    return firstAbandoned < 0 ? WAIT_OBJECT_0 : WAIT_ABANDONED_0 + DWORD(firstAbandoned);
}

} // namespace

HANDLE WINAPI CreateMutexW(LPSECURITY_ATTRIBUTES, BOOL initialOwner, LPCWSTR name)
{
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    if (injectedFailure(r, FakeWin::Call::CreateMutex))
        return nullptr;
    std::shared_ptr<Mutex> mutex;
    if (name) {
        auto it = r.names.find(name);
        if (it != r.names.end()) {
            // An existing mutex is opened; the initial owner is not looked at then.
            lastError = ERROR_ALREADY_EXISTS;
            return openHandle(r, it->second, AllAccess);
        }
    }
    mutex = std::make_shared<Mutex>();
    if (name) {
        mutex->name = name;
        r.names.emplace(mutex->name, mutex);
    }
    if (initialOwner) {
        watchThreadEnd();
        take(*mutex, std::this_thread::get_id());
    }
    lastError = ERROR_SUCCESS;
    return openHandle(r, mutex, AllAccess);
}

HANDLE WINAPI OpenMutexW(DWORD desiredAccess, BOOL, LPCWSTR name)
{
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    if (injectedFailure(r, FakeWin::Call::OpenMutex))
        return nullptr;
    if (!name) {
        lastError = ERROR_INVALID_PARAMETER;
        return nullptr;
    }
    auto it = r.names.find(name);
    if (it == r.names.end()) {
        lastError = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    return openHandle(r, it->second, desiredAccess);
}

DWORD WINAPI GetLastError()
{
    return lastError;
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    return wait(FakeWin::Call::WaitForSingleObject, 1, &handle, true, milliseconds);
}

DWORD WINAPI WaitForMultipleObjects(DWORD count, const HANDLE* handles, BOOL waitAll,
                                    DWORD milliseconds)
{
    return wait(FakeWin::Call::WaitForMultipleObjects, count, handles, waitAll != FALSE,
                milliseconds);
}

BOOL WINAPI ReleaseMutex(HANDLE mutex)
{
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    Handle* h = validHandle(r, mutex);
    if (!h) {
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    if (!(h->access & MUTEX_MODIFY_STATE)) {
        lastError = ERROR_ACCESS_DENIED;
        return FALSE;
    }
    Mutex& m = *h->mutex;
    if (m.owner != std::this_thread::get_id()) {
        lastError = ERROR_NOT_OWNER;
        return FALSE;
    }
    if (--m.recursion == 0) {
        m.owner = std::thread::id();
        r.released.notify_all();
    }
    return TRUE;
}

BOOL WINAPI CloseHandle(HANDLE handle)
{
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    Handle* h = validHandle(r, handle);
    if (!h) {
        lastError = ERROR_INVALID_HANDLE;
        return FALSE;
    }
    r.handles.erase(h);
    Mutex& m = *h->mutex;
    // The name goes with the last handle, owned or not.
    if (--m.handles == 0 && !m.name.empty())
        r.names.erase(m.name);
    delete h;
    return TRUE;
}

namespace FakeWin {

void failCall(Call call, int skip, DWORD error)
{
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.failures.push_back({call, skip, error});
}

void clearFailures()
{
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.failures.clear();
}

bool mutexExists(const char16_t* name)
{
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    return r.names.count(name) != 0;
}

int openHandles()
{
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    return int(r.handles.size());
}

int blockedWaiters()
{
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    return r.blocked;
}

bool waitForBlockedWaiters(int count, int milliseconds)
{
    Registry& r = registry();
    std::unique_lock<std::mutex> guard(r.lock);
    return r.waitersChanged.wait_for(guard, std::chrono::milliseconds(milliseconds),
                                     [&] { return r.blocked >= count; });
}

} // namespace FakeWin
