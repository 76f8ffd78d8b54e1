#include "HostIo.h"

#include <QFile>

#include "Failure.h"

#include <cerrno>
#include <cstring>

#ifdef Q_OS_UNIX
#include <fcntl.h>
#ifdef Q_OS_LINUX
#include <linux/falloc.h>
#endif
#include <sys/uio.h>
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

namespace {

// A call interrupted by a signal is repeated; a short transfer goes on where it stopped, until
// `length` bytes are moved or the call moves none (the end of the file) or fails.
template <typename Transfer> qint64 transferAll(qint64 length, Transfer transfer)
{
    qint64 total = 0;
    while (total < length) {
        const ssize_t moved = transfer(total);
        if (moved < 0 && errno == EINTR)
            continue;
        if (moved < 0)
            return -1;
        if (moved == 0)
            break;
        total += moved;
    }
    return total;
}

template <typename Call> bool retrying(Call call)
{
    int result;
    do
        result = call();
    while (result < 0 && errno == EINTR);
    return result == 0;
}

} // namespace

qint64 HostIo::read(QFile& file, qint64 offset, char* data, qint64 length)
{
    return transferAll(length, [&](qint64 done) {
        return ::pread(file.handle(), data + done, size_t(length - done), off_t(offset + done));
    });
}

bool HostIo::write(QFile& file, qint64 offset, std::initializer_list<Piece> pieces)
{
    constexpr int MostPieces = 4;
    Q_ASSERT(pieces.size() <= MostPieces);
    iovec vectors[MostPieces];
    qint64 length = 0;
    int count = 0;
    for (const Piece& piece : pieces) {
        vectors[count++] = iovec{const_cast<char*>(piece.data), size_t(piece.length)};
        length += piece.length;
    }
    // After a short write the vectors are moved on past what was written.
    int first = 0;
    qint64 written = 0;
    return transferAll(length, [&](qint64 done) {
               for (; written < done; ++first) {
                   const qint64 step = qMin<qint64>(done - written, qint64(vectors[first].iov_len));
                   written += step;
                   if (step < qint64(vectors[first].iov_len)) {
                       vectors[first].iov_base = static_cast<char*>(vectors[first].iov_base) + step;
                       vectors[first].iov_len -= size_t(step);
                       break;
                   }
               }
               return ::pwritev(file.handle(), vectors + first, count - first,
                                off_t(offset + done));
           }) == length;
}

bool HostIo::resize(QFile& file, qint64 size)
{
    return retrying([&] { return ::ftruncate(file.handle(), off_t(size)); });
}

bool HostIo::reserve(QFile& file, qint64 offset, qint64 length)
{
#ifdef Q_OS_LINUX
    return retrying([&] {
        return ::fallocate(file.handle(), FALLOC_FL_KEEP_SIZE, off_t(offset), off_t(length));
    });
#else
    Q_UNUSED(file);
    Q_UNUSED(offset);
    Q_UNUSED(length);
    return false;
#endif
}

bool HostIo::sync(QFile& file)
{
    return retrying([&] { return ::fsync(file.handle()); });
}

bool HostIo::syncFolder(const QString& path)
{
    const int folder =
        ::open(QFile::encodeName(path).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0)
        return false;
    const bool synced = retrying([folder] { return ::fsync(folder); });
    const int saved = errno;
    ::close(folder);
    errno = saved;
    return synced;
}

#else

// Elsewhere through QFile, which moves and then transfers; durability is left to the system.
qint64 HostIo::read(QFile& file, qint64 offset, char* data, qint64 length)
{
    return file.seek(offset) ? file.read(data, length) : -1;
}

bool HostIo::write(QFile& file, qint64 offset, std::initializer_list<Piece> pieces)
{
    if (!file.seek(offset))
        return false;
    for (const Piece& piece : pieces) {
        if (file.write(piece.data, piece.length) != piece.length)
            return false;
    }
    return true;
}

bool HostIo::resize(QFile& file, qint64 size)
{
    return file.resize(size);
}

bool HostIo::reserve(QFile&, qint64, qint64)
{
    return false;
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
