#pragma once

// System calls that fail where a test wants: the k-th write, resize or sync (counted
// together) fails with a given errno, or kills the process, as a full disk, a failing device
// or a crash would.

#include "HostIo.h"

#include <QFile>

#include <cerrno>
#include <csignal>

namespace KestTest {

class FaultyIo : public Kest::Ar::HostIo
{
public:
    enum class Fault { Errno, Kill };

    FaultyIo(int at, Fault fault = Fault::Errno, int error = ENOSPC)
        : at_(at), fault_(fault), error_(error)
    {
    }

    int calls() const { return calls_; }
    bool fired() const { return calls_ >= at_; }

    bool write(QFile& file, qint64 offset, std::initializer_list<Piece> pieces) override
    {
        return strike() && HostIo::write(file, offset, pieces);
    }
    bool resize(QFile& file, qint64 size) override
    {
        return strike() && HostIo::resize(file, size);
    }
    bool sync(QFile& file) override { return strike() && HostIo::sync(file); }
    bool syncFolder(const QString& path) override { return strike() && HostIo::syncFolder(path); }

private:
    // False, with errno set, exactly at the chosen call.
    bool strike()
    {
        if (++calls_ != at_)
            return true;
        if (fault_ == Fault::Kill)
            ::raise(SIGKILL);
        errno = error_;
        return false;
    }

    int at_;
    Fault fault_;
    int error_;
    int calls_ = 0;
};

} // namespace KestTest
