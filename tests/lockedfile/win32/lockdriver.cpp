// lockdriver.exe: a holder of the Windows mechanism, NamedMutexLock, for tst_lockedfile under
// Wine, so against the Win32 API itself (see LockHolder.h). PATH is named in lower case, as the
// locked file names it. The observer's requests look at the path's mutexes by their names in
// the lock protocol, not through the mechanism:
//   slots -> the reader slots whose mutex exists now, "0,1" ("none" for none)
//   keep -> kept: keeps slot 0 open while this process lasts, so that a holder that ends
//       without unlocking leaves the slot abandoned rather than gone
//   event-w, event-0 -> made: the writer mutex's or slot 0's name taken by an event
// Contenders share their counters in memory named after PATH.
#include "LockHolder.h"
#include "namedmutexlock.h"

#include <windows.h>

#include <cwctype>

using Kest::NamedMutexLock;

namespace {

void report(NamedMutexLock::MessageKind kind, const char* message)
{
    const std::string error = " (error " + std::to_string(GetLastError()) + ")";
    KestTest::say(std::string("message: ") + message +
                  (kind == NamedMutexLock::MessageKind::SystemError ? error : ""));
}

struct Lock
{
    std::wstring name; // the writer mutex's name; a reader slot's adds its number
    NamedMutexLock mutexes{&report};
    NamedMutexLock::Mode mode = NamedMutexLock::Mode::Read;
    bool held = false;

    bool lock(bool write, bool block)
    {
        mode = write ? NamedMutexLock::Mode::Write : NamedMutexLock::Mode::Read;
        return held = mutexes.acquire(mode, block);
    }
    bool unlock()
    {
        if (held)
            mutexes.release(mode);
        held = false;
        return true;
    }
    void pause() { Sleep(1); }
    std::string other(const std::string& request)
    {
        if (request == "keep")
            return CreateMutexW(nullptr, FALSE, (name + L"0").c_str()) ? "kept" : "not kept";
        if (request == "event-w" || request == "event-0") {
            const std::wstring event = name + (request == "event-0" ? L"0" : L"");
            return CreateEventW(nullptr, TRUE, FALSE, event.c_str()) ? "made" : "not made";
        }
        if (request != "slots")
            return "unknown request";
        std::string used;
        for (int slot = 0; slot < NamedMutexLock::ReaderSlots; ++slot) {
            if (HANDLE mutex =
                    OpenMutexW(SYNCHRONIZE, FALSE, (name + std::to_wstring(slot)).c_str())) {
                used += (used.empty() ? "" : ",") + std::to_string(slot);
                CloseHandle(mutex);
            }
        }
        return used.empty() ? "none" : used;
    }
};

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3)
        return 2;
    std::wstring path(argv[2], argv[2] + std::strlen(argv[2]));
    for (wchar_t& c : path)
        c = wchar_t(std::towlower(c));
    Lock lock;
    lock.name = L"QtLockedFile mutex " + path;
    lock.mutexes.setName(path);
    if (argc == 5 && std::strcmp(argv[1], "contend") == 0) {
        HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                            2 * sizeof(int), (L"tally " + path).c_str());
        void* tally = mapping ? MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0) : nullptr;
        return KestTest::contend(lock, static_cast<std::atomic<int>*>(tally), std::atoi(argv[3]),
                                 unsigned(std::atoi(argv[4])));
    }
    return KestTest::hold(lock);
}
