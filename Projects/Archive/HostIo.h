#pragma once

// The system calls the engine makes on its host files. Not installed.
//
// Positioned reads and writes, resizing and syncing go through one object, so that the rest of
// the engine sees one error model (a result of -1 or false with errno set) and so that a test
// can put an object in its place that fails the k-th call, the way a full disk or a dying
// process would.

#include <QString>

#include <initializer_list>

class QFile;

namespace Kest::Ar {

class HostIo
{
public:
    virtual ~HostIo() = default;

    // Bytes read at `offset` (fewer only at the end of the file), or -1.
    virtual qint64 read(QFile& file, qint64 offset, char* data, qint64 length);
    struct Piece
    {
        const char* data;
        qint64 length;
    };

    // Writes the pieces one after another from `offset`, in one call; false when any byte is
    // not written.
    virtual bool write(QFile& file, qint64 offset, std::initializer_list<Piece> pieces);
    bool write(QFile& file, qint64 offset, const char* data, qint64 length)
    {
        return write(file, offset, {Piece{data, length}});
    }
    virtual bool resize(QFile& file, qint64 size);
    // Asks the file system to allocate the range for writes to come, leaving the file's length
    // as it is (a resize to the length gives back what was not used). False where it cannot;
    // nothing depends on it but speed.
    virtual bool reserve(QFile& file, qint64 offset, qint64 length);
    // Makes the file's bytes durable.
    virtual bool sync(QFile& file);
    // Makes the names in a folder (created, renamed, removed) durable.
    virtual bool syncFolder(const QString& path);

    // The real system calls.
    static HostIo& system();
};

} // namespace Kest::Ar
