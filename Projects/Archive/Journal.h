#pragma once

// The rollback journal: a file beside the archive, named after it with "-journal" appended,
// that holds the original bytes of every unit of the committed archive (its header area, or
// one of its blocks) before the unit is first changed within a transaction. Not installed.
//
// While a journal with a valid header exists, the archive's committed state is the archive's
// file with every whole record of the journal written back over it and the file cut to the
// committed length. An invalid journal (empty, zeroed, or none) means the archive's file is its
// committed state. The bytes are laid out in docs/format.md.

#include <QFile>
#include <QString>

#include <functional>

namespace Kest::Ar {

class HostIo;

class Journal
{
public:
    // The unit that stands for the header area.
    static constexpr qint32 HeaderUnit = -1;

    struct Geometry
    {
        qint64 committedLength = 0;
        quint32 blockSize = 0;
        quint32 headerSize = 0;

        // Where a unit begins in the archive, and how long it is.
        qint64 offsetOf(qint32 unit) const;
        qint64 lengthOf(qint32 unit) const;
    };

    explicit Journal(const QString& archivePath);
    static QString pathFor(const QString& archivePath);
    QString path() const;
    void setArchivePath(const QString& archivePath);

    // Starts the journal of a transaction: the file holds the geometry and no record yet.
    void begin(HostIo& io, const Geometry& geometry);
    bool isActive() const;
    // Adds the original bytes of `unit`, held in memory until the next flush. `fill` puts up
    // to `length` of them in place and returns how many, or throws, leaving the journal as it
    // was.
    void append(qint32 unit, qint64 length, const std::function<qint64(char*)>& fill);
    // Writes what was added to the file; `durable`: and syncs it (and, the first time, the
    // journal's name in its folder).
    void flush(HostIo& io, bool durable);
    // Makes the journal invalid (its header zeros): the moment of commit, or the end of a
    // rollback. `durable`: synced.
    void end(HostIo& io, bool durable);
    // Removes the file, which holds no journal (at close).
    void remove();

    // Reads a journal file record by record, trusting nothing: a header that does not check
    // out makes it no journal at all, and reading stops at the first record that is cut short
    // or whose checksum fails.
    class Reader
    {
    public:
        Reader(HostIo& io, const QString& path);
        // Whether the file holds a journal (a valid header).
        bool isValid() const;
        const Geometry& geometry() const;
        // The next whole record; false at the end of the whole ones.
        bool next(qint32& unit, QByteArray& bytes);
        // Hands every whole record on to `apply(offset in the archive, bytes)`.
        template <typename Apply> void forEachRecord(Apply apply)
        {
            qint32 unit = 0;
            QByteArray bytes;
            while (next(unit, bytes))
                apply(geometry_.offsetOf(unit), bytes);
        }

    private:
        HostIo& io_;
        QFile file_;
        Geometry geometry_;
        quint32 nonce_ = 0;
        qint64 offset_ = 0;
        bool valid_ = false;
    };

private:
    void writeAt(HostIo& io, qint64 offset, const QByteArray& bytes);
    void sync(HostIo& io);

    QFile file_;
    Geometry geometry_;
    QByteArray pending_; // records added since the last flush
    quint32 nonce_ = 0;
    qint64 end_ = 0;
    bool active_ = false;
    bool unsynced_ = false;
    bool folderSynced_ = false;
};

} // namespace Kest::Ar
