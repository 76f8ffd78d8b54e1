// The Windows lock mechanism (NamedMutexLock) against the Win32 API itself, across processes.
// Built with a Windows cross compiler and run under Wine by run-under-wine.sh; no Qt.
//
// lockdriver run
//     Runs every scenario below, starting copies of itself as the holders of the locks, and
//     checks from outside, through the mutexes' names as the lock protocol gives them, which
//     mutexes exist and which are owned. Prints each scenario's result, every failed check,
//     the contention figures and a closing "N passed, M failed"; exits 1 on any failure.
// lockdriver hold <path>
//     A holder of one lock object on <path> (an absolute path with '/' separators, which it
//     lower-cases as the locked file does), driven one line at a time on standard input, one
//     answer line each. Every message of the mechanism comes first as a line
//     "message: <text>", with " (error <code>)" added for a system error, so that a message
//     shows in place of the answer the driver expects.
//       lock <r|w> <try|wait>  -> locked | refused; "wait" first answers "pending", just
//                                 before the blocking request is made
//       unlock                 -> unlocked
//       readers <n>            -> "locked <k>": n more lock objects, each on a thread of its
//                                 own (a mutex belongs to a thread), ask in turn for a read
//                                 lock without waiting; k of them got one
//       release <i>            -> unlocked: the thread of the i-th of those unlocks and ends
//       exit                   ends the process at once, with whatever it holds
// lockdriver contend <path> <rounds> <seed> <tally>
//     Answers "ready", waits for a line "go", then takes the lock <rounds> times, a write lock
//     one time in four, and answers "done <reads> <writes> <violations> <failures>". <tally>
//     names shared memory whose two counters are the readers and the writers holding the lock
//     now: at every acquisition and again before every release a writer must be alone and a
//     reader must see no writer.
#include "namedmutexlock.h"

#include <windows.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cwctype>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

using Kest::NamedMutexLock;
using Mode = NamedMutexLock::Mode;

namespace {

constexpr DWORD WaitMs = 20000;

void say(const std::string& line)
{
    std::fputs((line + '\n').c_str(), stdout);
    std::fflush(stdout);
}

void report(NamedMutexLock::MessageKind kind, const char* message)
{
    const DWORD error = GetLastError();
    std::string line = std::string("message: ") + message;
    if (kind == NamedMutexLock::MessageKind::SystemError)
        line += " (error " + std::to_string(error) + ")";
    say(line);
}

std::wstring widen(const std::string& text)
{
    return std::wstring(text.begin(), text.end());
}

// What the locked file names a path's mutexes after: its absolute path in lower case.
std::wstring keyOf(const std::string& path)
{
    std::wstring key = widen(path);
    for (wchar_t& c : key)
        c = wchar_t(std::towlower(c));
    return key;
}

// ---- Holder processes ------------------------------------------------------------------------

struct Reader
{
    std::wstring key;
    NamedMutexLock lock{&report};
    bool locked = false;
    HANDLE asked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE released = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE thread = nullptr;

    static DWORD WINAPI run(void* self)
    {
        auto* reader = static_cast<Reader*>(self);
        reader->lock.setName(reader->key);
        reader->locked = reader->lock.acquire(Mode::Read, false);
        SetEvent(reader->asked);
        WaitForSingleObject(reader->released, INFINITE);
        if (reader->locked)
            reader->lock.release(Mode::Read);
        return 0;
    }
};

int runHolder(const std::string& path)
{
    const std::wstring key = keyOf(path);
    NamedMutexLock lock(&report);
    lock.setName(key);
    bool held = false;
    Mode heldMode = Mode::Read;
    std::vector<std::unique_ptr<Reader>> readers;

    char buffer[256];
    while (std::fgets(buffer, sizeof buffer, stdin)) {
        char verb[16] = "", what[16] = "", how[16] = "";
        std::sscanf(buffer, "%15s %15s %15s", verb, what, how);
        const std::string command = verb;
        if (command == "lock") {
            const bool block = std::string(how) == "wait";
            const Mode mode = std::string(what) == "w" ? Mode::Write : Mode::Read;
            if (block)
                say("pending");
            held = lock.acquire(mode, block);
            heldMode = mode;
            say(held ? "locked" : "refused");
        } else if (command == "unlock") {
            if (held)
                lock.release(heldMode);
            held = false;
            say("unlocked");
        } else if (command == "readers") {
            int locked = 0;
            for (int i = std::atoi(what); i > 0; --i) {
                auto& reader = *readers.emplace_back(std::make_unique<Reader>());
                reader.key = key;
                reader.thread = CreateThread(nullptr, 0, &Reader::run, &reader, 0, nullptr);
                WaitForSingleObject(reader.asked, INFINITE);
                locked += reader.locked;
            }
            say("locked " + std::to_string(locked));
        } else if (command == "release") {
            Reader& reader = *readers.at(std::size_t(std::atoi(what)));
            SetEvent(reader.released);
            WaitForSingleObject(reader.thread, INFINITE);
            say("unlocked");
        } else if (command == "exit") {
            ExitProcess(0);
        }
    }
    return 0;
}

int runContender(const std::string& path, int rounds, unsigned seed, const std::string& tallyName)
{
    HANDLE mapping = OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, widen(tallyName).c_str());
    auto* tally =
        mapping ? static_cast<volatile LONG*>(MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0))
                : nullptr;
    if (!tally)
        return 1;
    NamedMutexLock lock(&report);
    lock.setName(keyOf(path));
    say("ready");
    char go[16];
    if (!std::fgets(go, sizeof go, stdin))
        return 1;

    std::minstd_rand random(seed);
    int counts[4] = {}; // reads, writes, violations, failures
    for (int round = 0; round < rounds; ++round) {
        const bool write = random() % 4 == 0;
        if (!lock.acquire(write ? Mode::Write : Mode::Read, true)) {
            ++counts[3];
            continue;
        }
        ++counts[write];
        const auto consistent = [&] { return tally[1] == LONG(write) && !(write && tally[0]); };
        InterlockedIncrement(&tally[write]);
        counts[2] += !consistent();
        // Held for a while, so that the others' requests come while it holds.
        Sleep(1);
        counts[2] += !consistent();
        InterlockedDecrement(&tally[write]);
        lock.release(write ? Mode::Write : Mode::Read);
    }
    std::string line = "done";
    for (int count : counts)
        line += ' ' + std::to_string(count);
    say(line);
    return 0;
}

// ---- The driver's side -----------------------------------------------------------------------

std::wstring selfPath()
{
    std::wstring path(32768, L'\0'); // the longest path the system has
    path.resize(GetModuleFileNameW(nullptr, path.data(), DWORD(path.size())));
    return path;
}

// A copy of this program, running `arguments`, with its standard input and output on pipes.
class Child
{
public:
    explicit Child(const std::string& arguments)
    {
        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        HANDLE childIn = nullptr;
        HANDLE childOut = nullptr;
        CreatePipe(&childIn, &toChild, &inherit, 0);
        CreatePipe(&fromChild, &childOut, &inherit, 0);
        SetHandleInformation(toChild, HANDLE_FLAG_INHERIT, 0);
        SetHandleInformation(fromChild, HANDLE_FLAG_INHERIT, 0);
        STARTUPINFOW start = {};
        start.cb = sizeof(start);
        start.dwFlags = STARTF_USESTDHANDLES;
        start.hStdInput = childIn;
        start.hStdOutput = childOut;
        start.hStdError = GetStdHandle(STD_ERROR_HANDLE);
        const std::wstring self = selfPath();
        std::wstring command = L"\"" + self + L"\" " + widen(arguments);
        if (!CreateProcessW(self.c_str(), command.data(), nullptr, nullptr, TRUE, 0, nullptr,
                            nullptr, &start, &process))
            process = {};
        // Only the child keeps its ends, so that either side sees the other go.
        CloseHandle(childIn);
        CloseHandle(childOut);
    }
    // A child may still be inside a blocking request, where only termination ends it.
    ~Child()
    {
        kill();
        CloseHandle(toChild);
        CloseHandle(fromChild);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

    void send(const std::string& line)
    {
        const std::string text = line + '\n';
        DWORD written = 0;
        WriteFile(toChild, text.data(), DWORD(text.size()), &written, nullptr);
    }
    // Whether a whole line has come within `ms`; it stays to be read.
    bool answered(DWORD ms = 300)
    {
        const ULONGLONG deadline = GetTickCount64() + ms;
        while (buffer.find('\n') == std::string::npos) {
            DWORD available = 0;
            if (!PeekNamedPipe(fromChild, nullptr, 0, nullptr, &available, nullptr))
                return false; // the child has gone
            if (available) {
                char chunk[512];
                DWORD read = 0;
                if (!ReadFile(fromChild, chunk,
                              available < sizeof(chunk) ? available : sizeof(chunk), &read,
                              nullptr))
                    return false;
                buffer.append(chunk, read);
            } else if (GetTickCount64() >= deadline) {
                return false;
            } else {
                Sleep(2);
            }
        }
        return true;
    }
    std::string reply(DWORD ms = WaitMs)
    {
        if (!answered(ms))
            return "<no reply>";
        const std::size_t end = buffer.find('\n');
        std::string line = buffer.substr(0, end);
        buffer.erase(0, end + 1);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        return line;
    }
    std::string ask(const std::string& line)
    {
        send(line);
        return reply();
    }
    // Ends the child at once: it gets no chance to unlock.
    void kill()
    {
        if (!process.hProcess)
            return;
        TerminateProcess(process.hProcess, 1);
        waitForExit();
    }
    bool waitForExit()
    {
        if (!process.hProcess)
            return true;
        if (WaitForSingleObject(process.hProcess, WaitMs) != WAIT_OBJECT_0)
            return false;
        CloseHandle(process.hProcess);
        CloseHandle(process.hThread);
        process = {};
        return true;
    }

private:
    PROCESS_INFORMATION process = {};
    HANDLE toChild = nullptr;
    HANDLE fromChild = nullptr;
    std::string buffer;
};

// The names of a path's mutexes, from the lock protocol rather than from the mechanism.
std::wstring mutexName(const std::wstring& key, int slot = -1)
{
    return L"QtLockedFile mutex " + key + (slot < 0 ? L"" : std::to_wstring(slot));
}

// The reader slots of `key` whose mutex exists now.
std::vector<int> slotsInUse(const std::wstring& key)
{
    std::vector<int> used;
    for (int slot = 0; slot < NamedMutexLock::ReaderSlots; ++slot) {
        if (HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, mutexName(key, slot).c_str())) {
            used.push_back(slot);
            CloseHandle(mutex);
        }
    }
    return used;
}

// Whether some other thread owns the mutex of `name` now. Finding out owns the mutex for a
// moment when nobody does, so this is never asked of a mutex that may be abandoned.
bool ownedElsewhere(const std::wstring& name)
{
    HANDLE mutex = OpenMutexW(SYNCHRONIZE | MUTEX_MODIFY_STATE, FALSE, name.c_str());
    if (!mutex)
        return false;
    const DWORD result = WaitForSingleObject(mutex, 0);
    if (result == WAIT_OBJECT_0 || result == WAIT_ABANDONED)
        ReleaseMutex(mutex);
    CloseHandle(mutex);
    return result == WAIT_TIMEOUT;
}

bool eventually(const std::function<bool()>& condition)
{
    for (const ULONGLONG deadline = GetTickCount64() + 5000; !condition(); Sleep(10)) {
        if (GetTickCount64() >= deadline)
            return false;
    }
    return true;
}

std::string text(const std::vector<int>& numbers)
{
    std::string result = "{";
    for (int n : numbers)
        result += (result.size() > 1 ? "," : "") + std::to_string(n);
    return result + "}";
}

int failedChecks = 0;

bool check(bool ok, int line, const std::string& what)
{
    if (!ok) {
        std::printf("    line %d: %s\n", line, what.c_str());
        ++failedChecks;
    }
    return ok;
}

// Each scenario stops at its first failed check; its children are ended on the way out.
#define VERIFY(condition)                                                                          \
    if (!check(bool(condition), __LINE__, #condition))                                             \
    return
#define COMPARE(actual, expected)                                                                  \
    if (const std::string got = (actual);                                                          \
        !check(got == (expected), __LINE__,                                                        \
               #actual ": got \"" + got + "\", expected \"" + (expected) + "\""))                  \
    return
#define COMPARE_SLOTS(key, expected)                                                               \
    if (const std::string got = text(slotsInUse(key));                                             \
        !check(got == (expected), __LINE__, "slots in use: " + got + ", expected " + (expected)))  \
    return

// Where a scenario's paths live: one folder per run, so that holders left over from an earlier
// run under the same Wine server cannot meet this one's.
std::string folder;

// A holder of `name` in that folder, the path spelt in letter case `upper` or as given.
std::string hold(const std::string& name, bool upper = false)
{
    std::string path = folder + name;
    for (char& c : path)
        c = upper ? char(std::toupper(c)) : c;
    return "hold " + path;
}

// Readers share; a writer is refused while any reader is left and a reader while the writer
// holds; an unlock frees its slot for the next reader; paths that differ only in letter case
// share one lock. A refusal is a plain answer: a message would come in its place.
void readersShareWritersExclude()
{
    const std::wstring key = keyOf(folder + "shared.qel");
    Child first(hold("shared.qel"));
    Child second(hold("shared.qel"));
    Child otherCase(hold("shared.qel", true));
    Child writer(hold("shared.qel"));
    COMPARE(first.ask("lock r try"), "locked");
    COMPARE(second.ask("lock r try"), "locked");
    COMPARE_SLOTS(key, "{0,1}");
    COMPARE(writer.ask("lock w try"), "refused");
    // The refused writer let the writer mutex go again, and so did the readers.
    VERIFY(!ownedElsewhere(mutexName(key)));
    COMPARE(first.ask("unlock"), "unlocked");
    COMPARE_SLOTS(key, "{1}");
    COMPARE(writer.ask("lock w try"), "refused");
    COMPARE(otherCase.ask("lock r try"), "locked");
    COMPARE_SLOTS(key, "{0,1}");
    COMPARE(second.ask("unlock"), "unlocked");
    COMPARE(otherCase.ask("unlock"), "unlocked");
    COMPARE_SLOTS(key, "{}");
    COMPARE(writer.ask("lock w try"), "locked");
    VERIFY(ownedElsewhere(mutexName(key)));
    COMPARE(first.ask("lock r try"), "refused");
    COMPARE(otherCase.ask("lock w try"), "refused");
    COMPARE(writer.ask("unlock"), "unlocked");
    COMPARE(otherCase.ask("lock w try"), "locked");
}

// Two readers hold the path; a writer asks and waits; readers that come after it are refused
// when they do not wait, and get in after it when they do.
void blockingWriterWaitsForReaders()
{
    const std::wstring key = keyOf(folder + "waiting.qel");
    Child first(hold("waiting.qel"));
    Child second(hold("waiting.qel"));
    Child writer(hold("waiting.qel"));
    Child late(hold("waiting.qel"));
    Child later(hold("waiting.qel"));
    COMPARE(first.ask("lock r try"), "locked");
    COMPARE(second.ask("lock r try"), "locked");
    COMPARE(writer.ask("lock w wait"), "pending");
    // The waiting writer owns the writer mutex: that is what keeps new readers out.
    VERIFY(eventually([&] { return ownedElsewhere(mutexName(key)); }));
    COMPARE(late.ask("lock r try"), "refused");
    COMPARE(later.ask("lock r wait"), "pending");

    COMPARE(first.ask("unlock"), "unlocked");
    VERIFY(!writer.answered()); // the second reader is still there
    COMPARE(second.ask("unlock"), "unlocked");
    COMPARE(writer.reply(), "locked");
    VERIFY(!later.answered()); // the writer holds the path now
    COMPARE(late.ask("lock r try"), "refused");
    COMPARE(writer.ask("unlock"), "unlocked");
    COMPARE(later.reply(), "locked");
    COMPARE_SLOTS(key, "{0}");
}

// 64 reader slots: a 65th reader is refused, with a message, and lets the writer mutex go; a
// slot that one of the 64 gives up is free for it.
void sixtyFifthReaderRefused()
{
    const std::wstring key = keyOf(folder + "many.qel");
    Child many(hold("many.qel"));
    Child extra(hold("many.qel"));
    COMPARE(many.ask("readers 64"), "locked 64");
    VERIFY(slotsInUse(key).size() == 64);
    COMPARE(extra.ask("lock r try"), "message: QtLockedFile::lock(): too many readers");
    COMPARE(extra.reply(), "refused");
    VERIFY(!ownedElsewhere(mutexName(key)));
    COMPARE(extra.ask("lock w try"), "refused");
    COMPARE(many.ask("release 17"), "unlocked");
    COMPARE(extra.ask("lock r try"), "locked");
    VERIFY(slotsInUse(key).size() == 64);
}

// A holder that ends without unlocking, by exiting or by being killed, leaves its mutexes
// abandoned; the next request owns them all the same. The driver keeps reader slot 0 open
// throughout, so that the slot outlives its owner and is abandoned rather than gone: a reader
// then reuses it (one wait that ends abandoned), and a writer owns it with the writer mutex
// (the wait for all slots ends abandoned as well).
void endedHolderLeavesPathLockable()
{
    struct Case
    {
        const char* mode;
        bool killed;
    };
    for (const Case& c : {Case{"r", false}, Case{"r", true}, Case{"w", false}, Case{"w", true}}) {
        const std::string name = std::string("ended-") + c.mode + (c.killed ? "-killed" : "-exit");
        std::printf("  %s\n", name.c_str());
        const std::wstring key = keyOf(folder + name);
        HANDLE slot0 = CreateMutexW(nullptr, FALSE, mutexName(key, 0).c_str());
        const std::unique_ptr<void, decltype(&CloseHandle)> keep(slot0, &CloseHandle);
        VERIFY(slot0);
        const std::string request = std::string("lock ") + c.mode + " try";
        Child next(hold(name));
        Child holder(hold(name));
        COMPARE(holder.ask(request), "locked");
        COMPARE(next.ask("lock w try"), "refused");
        if (c.killed)
            holder.kill();
        else
            holder.send("exit");
        VERIFY(holder.waitForExit());
        COMPARE(next.ask(request), "locked");
        COMPARE_SLOTS(key, "{0}");
        COMPARE(next.ask("unlock"), "unlocked");
        // Given back, not merely closed: the handle it was opened with may release it.
        VERIFY(!ownedElsewhere(mutexName(key, 0)));
        COMPARE(next.ask("lock w try"), "locked");
        COMPARE(next.ask("unlock"), "unlocked");
    }
}

// A name the system holds for another kind of object cannot be made or opened as a mutex
// (ERROR_INVALID_HANDLE, 6): the failure is reported with the system's error. Without the writer
// mutex no request begins; a reader slot that cannot be opened counts as free to a reader, which
// then cannot make it and gives up, and is left out by a writer.
void namesTakenByOtherObjects()
{
    const std::string createFailed = "message: QtLockedFile::lock(): CreateMutex failed (error 6)";
    const std::string openFailed = "message: QtLockedFile::lock(): OpenMutex failed (error 6)";
    const std::wstring writerTaken = keyOf(folder + "writer-taken.qel");
    const std::wstring slotTaken = keyOf(folder + "slot-taken.qel");
    HANDLE events[] = {CreateEventW(nullptr, TRUE, FALSE, mutexName(writerTaken).c_str()),
                       CreateEventW(nullptr, TRUE, FALSE, mutexName(slotTaken, 0).c_str())};
    const std::unique_ptr<void, decltype(&CloseHandle)> keep0(events[0], &CloseHandle);
    const std::unique_ptr<void, decltype(&CloseHandle)> keep1(events[1], &CloseHandle);
    VERIFY(events[0] && events[1]);

    Child first(hold("writer-taken.qel"));
    for (const char* request : {"lock r try", "lock w try"}) {
        COMPARE(first.ask(request), createFailed);
        COMPARE(first.reply(), "refused");
    }

    Child second(hold("slot-taken.qel"));
    COMPARE(second.ask("lock r try"), openFailed);
    COMPARE(second.reply(), createFailed);
    COMPARE(second.reply(), "refused");
    VERIFY(!ownedElsewhere(mutexName(slotTaken)));
    COMPARE(second.ask("lock w try"), openFailed);
    COMPARE(second.reply(), "locked");
    COMPARE(second.ask("unlock"), "unlocked");
}

// Several processes take read and write locks many times over, blocking, each checking through
// counters they all share that no writer is beside it.
void contention()
{
    constexpr int Processes = 4;
    constexpr int Rounds = 1000;
    const std::string tally = "kestlocktest-tally-" + std::to_string(GetCurrentProcessId());
    HANDLE mapping = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                        2 * sizeof(LONG), widen(tally).c_str());
    const std::unique_ptr<void, decltype(&CloseHandle)> keep(mapping, &CloseHandle);
    VERIFY(mapping);
    std::vector<std::unique_ptr<Child>> contenders;
    for (int i = 0; i < Processes; ++i) {
        contenders.push_back(std::make_unique<Child>("contend " + folder + "contended.qel " +
                                                     std::to_string(Rounds) + ' ' +
                                                     std::to_string(i + 1) + ' ' + tally));
    }
    for (auto& contender : contenders)
        COMPARE(contender->reply(), "ready");
    for (auto& contender : contenders)
        contender->send("go");
    int totals[4] = {}; // reads, writes, violations, failures
    for (auto& contender : contenders) {
        const std::string line = contender->reply(5 * 60 * 1000);
        int counts[4] = {};
        VERIFY(std::sscanf(line.c_str(), "done %d %d %d %d", &counts[0], &counts[1], &counts[2],
                           &counts[3]) == 4);
        for (int i = 0; i < 4; ++i)
            totals[i] += counts[i];
    }
    std::printf(
        "contention under Wine: %d processes x %d rounds, %d reads and %d writes, violations %d\n",
        Processes, Rounds, totals[0], totals[1], totals[2]);
    VERIFY(totals[0] + totals[1] == Processes * Rounds);
    VERIFY(totals[0] > 0 && totals[1] > 0);
    VERIFY(totals[2] == 0);
    VERIFY(totals[3] == 0);
}

} // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "hold" && argc == 3)
        return runHolder(argv[2]);
    if (mode == "contend" && argc == 6)
        return runContender(argv[2], std::atoi(argv[3]), unsigned(std::atoi(argv[4])), argv[5]);
    if (mode != "run") {
        std::fprintf(stderr,
                     "usage: lockdriver run | hold PATH | contend PATH ROUNDS SEED TALLY\n");
        return 2;
    }

    folder = "c:/kestlocktest/" + std::to_string(GetCurrentProcessId()) + '/';
    const struct
    {
        const char* name;
        void (*run)();
    } scenarios[] = {
        {"readersShareWritersExclude", &readersShareWritersExclude},
        {"blockingWriterWaitsForReaders", &blockingWriterWaitsForReaders},
        {"sixtyFifthReaderRefused", &sixtyFifthReaderRefused},
        {"endedHolderLeavesPathLockable", &endedHolderLeavesPathLockable},
        {"namesTakenByOtherObjects", &namesTakenByOtherObjects},
        {"contention", &contention},
    };
    int passed = 0;
    int failed = 0;
    for (const auto& scenario : scenarios) {
        const int before = failedChecks;
        const ULONGLONG start = GetTickCount64();
        scenario.run();
        const bool ok = failedChecks == before;
        std::printf("%s %s (%llu ms)\n", ok ? "PASS" : "FAIL", scenario.name,
                    GetTickCount64() - start);
        std::fflush(stdout);
        ++(ok ? passed : failed);
    }
    std::printf("lockdriver: %d passed, %d failed\n", passed, failed);
    return failed ? 1 : 0;
}
