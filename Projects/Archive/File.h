#pragma once

#include "Archive.h"
#include "KestArchiveGlobal.h"

#include <QIODevice>
#include <QString>

#include <memory>

namespace Kest::Ar {

class FilePrivate;

// One member file of an open archive, read and written as a random-access QIODevice.
//
// Any number of member files may be open at once, each at its own position. A member open
// for writing has it alone (another open fails with error() InUse); readers share it. The
// member's entry (size and blocks) is written back when it is closed, flushed or truncated.
// Failures set error() and errorString(); no exception leaves a member file.
class KESTARCHIVE_EXPORT File : public QIODevice
{
public:
    File(Archive* archive, const QString& name);
    ~File() override;

    bool open(OpenMode mode) override;
    void close() override;
    qint64 size() const override;
    bool seek(qint64 pos) override;

    // Writes the member's entry and the archive back; the member stays open where it is.
    bool flush();
    // Cuts the member at the current position.
    bool truncate();
    QString name() const;
    Archive::Error error() const;

    qint64 readData(char* data, qint64 maxSize) override;
    qint64 writeData(const char* data, qint64 size) override;

private:
    std::unique_ptr<FilePrivate> d;
};

} // namespace Kest::Ar
