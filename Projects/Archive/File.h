#pragma once

#include "Archive.h"
#include "KestArchiveGlobal.h"

#include <QIODevice>
#include <QString>

namespace Kest::Ar {

class FileEntry;

// One member file of an open archive, read and written as a random-access QIODevice.
//
// A member file keeps no data of its own: transfers go straight to the archive's chain
// reader and writer at the archive's single current position, so only one member file
// transfers data at a time. Its entry (size and last block) is written back when it is
// closed, flushed or truncated. Close member files before their archive.
class KESTARCHIVE_EXPORT File : public QIODevice
{
public:
    File(Archive* archive, const QString& name);
    ~File() override;

    bool open(OpenMode mode) override;
    void close() override;
    qint64 size() const override;
    bool seek(qint64 pos) override;
    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

    void flush();
    bool truncate();
    QString name() const;

private:
    bool isDirectoryStream() const;
    bool openEntry(OpenMode mode);
    void giveFirstBlock();
    void removeUnopenableMember();
    Archive::Position memberPosition(qint64 pos) const;
    void writeBackEnd();
    void flushArchiveKeepingPosition(const Archive::Position& resume);
    bool fail();

    Archive* archive_;
    FileEntry* entry_ = nullptr;
    QString name_;
    qint64 size_ = 0;
    qint64 pos_ = 0;
};

} // namespace Kest::Ar
