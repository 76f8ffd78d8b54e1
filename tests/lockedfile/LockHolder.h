#pragma once

// The holder's side of the lock tests, in plain C++, for lockedfile_helper (a QtLockedFile) and
// lockdriver.exe (the Windows mechanism under Wine). tst_lockedfile drives them.
// HOLDER hold PATH: one lock object on PATH, one request a line, one answer line each, after the
// mechanism's messages, which come as lines "message: TEXT".
//   r, w: read or write lock, not waiting -> locked | refused; R, W: waiting, "pending" first
//   u: unlock -> unlocked; x: exit at once, holding what it holds; else Lock::other
// HOLDER contend PATH ROUNDS SEED: "ready"; after a line, locks ROUNDS times, waiting, a write
// lock one time in four, and answers "done READS WRITES VIOLATIONS FAILURES". Two counters that
// all contenders on PATH share count the readers and writers holding: at every acquisition and
// before every release a writer must be alone, and a reader must see no writer.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>

namespace KestTest {

inline void say(const std::string& line)
{
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
}

// Lock has bool lock(bool write, bool block), bool unlock(), std::string other(request) and
// pause(), which gives the other contenders time to ask while the lock is held.
template <class Lock> int hold(Lock& lock)
{
    for (char line[256]; std::fgets(line, sizeof line, stdin);) {
        const std::string request(line, std::strcspn(line, "\r\n"));
        if (request.size() == 1 && std::strchr("rwRW", request[0])) {
            const bool block = request[0] < 'a';
            if (block)
                say("pending");
            say(lock.lock(request[0] == 'w' || request[0] == 'W', block) ? "locked" : "refused");
        } else if (request == "u") {
            say(lock.unlock() ? "unlocked" : "refused");
        } else if (request == "x") {
            std::_Exit(0);
        } else {
            say(lock.other(request));
        }
    }
    return 0;
}

template <class Lock> int contend(Lock& lock, std::atomic<int>* tally, int rounds, unsigned seed)
{
    static_assert(std::atomic<int>::is_always_lock_free, "shared between processes");
    char go[16];
    if (!tally)
        return 1;
    say("ready");
    if (!std::fgets(go, sizeof go, stdin))
        return 1;
    std::minstd_rand random(seed);
    int counts[4] = {}; // reads, writes, violations, failures
    for (int round = 0; round < rounds; ++round) {
        const bool write = random() % 4 == 0;
        if (!lock.lock(write, true)) {
            ++counts[3];
            continue;
        }
        ++counts[write];
        const auto consistent = [&] { return tally[1] == int(write) && !(write && tally[0]); };
        ++tally[write];
        counts[2] += !consistent();
        lock.pause();
        counts[2] += !consistent();
        --tally[write];
        counts[3] += !lock.unlock();
    }
    std::string line = "done";
    for (int count : counts)
        line += ' ' + std::to_string(count);
    say(line);
    return 0;
}

} // namespace KestTest
