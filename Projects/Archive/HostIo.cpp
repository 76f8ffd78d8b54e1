#include "HostIo.h"

#include <QFile>

#include "Failure.h"

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#include <unistd.h>
#endif

namespace Kest::Ar {

void failIo(const char* operation, const QString& path)
{
    const int code = errno;
#ifdef EDQUOT
    const bool full = code == ENOSPC || code == EDQUOT;
#else
    const bool full = code == ENOSPC;
#endif
    fail(full ? Archive::Error::OutOfSpace : Archive::Error::IoError,
         QStringLiteral("%1: %2: %3")
             .arg(QLatin1String(operation), path, QString::fromLocal8Bit(strerror(code))));
}

HostIo& HostIo::system()
{
    static HostIo io;
    return io;
}

#ifdef Q_OS_UNIX

// A call interrupted by a signal is repeated; a short transfer goes on where it stopped.
qint64 HostIo::read(QFile& file, qint64 offset, char* data, qint64 length)
{
    qint64 total = 0;
    while (total < length) {
        const ssize_t got =
            ::pread(file.handle(), data + total, size_t(length - total), off_t(offset + total));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return -1;
        if (got == 0)
            break;
        total += got;
    }
    return total;
}

bool HostIo::write(QFile& file, qint64 offset, const char* data, qint64 length)
{
    qint64 total = 0;
    while (total < length) {
        const ssize_t put =
            ::pwrite(file.handle(), data + total, size_t(length - total), off_t(offset + total));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        total += put;
    }
    return true;
}

bool HostIo::resize(QFile& file, qint64 size)
{
    int result;
    do
        result = ::ftruncate(file.handle(), off_t(size));
    while (result < 0 && errno == EINTR);
    return result == 0;
}

bool HostIo::sync(QFile& file)
{
    int result;
    do
        result = ::fsync(file.handle());
    while (result < 0 && errno == EINTR);
    return result == 0;
}

bool HostIo::syncFolder(const QString& path)
{
    const int folder =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return false;
    int result;
    do
        result = ::fsync(folder);
    while (result < 0 && errno == EINTR);
    const int saved = errno;
    ::close(folder);
    errno = saved;
    return result == 0;
}

#else

// Elsewhere through QFile, which moves and then transfers; durability is left to the system.
qint64 HostIo::read(QFile& file, qint64 offset, char* data, qint64 length)
{
    return file.seek(offset) ? file.read(data, length) : -1;
}

bool HostIo::write(QFile& file, qint64 offset, const char* data, qint64 length)
{
    return file.seek(offset) && file.write(data, length) == length;
}

bool HostIo::resize(QFile& file, qint64 size)
{
    return file.resize(size);
}

bool HostIo::sync(QFile& file)
{
    return file.flush();
}

bool HostIo::syncFolder(const QString&)
{
    return true;
}

#endif

} // namespace Kest::Ar
