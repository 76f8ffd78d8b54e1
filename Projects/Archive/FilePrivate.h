#pragma once

// A member file behind the public facade. Not installed.

#include "ArchivePrivate.h"
#include "ChainCursor.h"
#include "File.h"

#include <functional>
#include <optional>

namespace Kest::Ar {

class FilePrivate
{
public:
    FilePrivate(File* file, Archive* archive, const QString& name)
        : q(file), archive(archive), name(name)
    {
    }

    ArchivePrivate& owner() const { return ArchivePrivate::of(*archive); }

    // Runs a public operation: NoError after it returns, the failure otherwise.
    template <typename Operation> bool attempt(Operation&& operation)
    {
        const bool done = guarded(operation, [this](Archive::Error code, const QString& message) {
            failed(code, message);
        });
        if (done)
            setError(Archive::Error::NoError, QString());
        return done;
    }
    // Records a failure; one of writing rolls the archive back to its last commit.
    void failed(Archive::Error code, const QString& message);
    void setError(Archive::Error code, const QString& message);
    // Throws unless the member is open and still has its archive's backing.
    void requireCursor(const char* operation) const;
    // Cut off from the archive, which rolled back or closed under it: the device stays open
    // for its user to close, but transfers nothing.
    void orphan();
    // Records a member open for writing in its entry as it stands, so that a commit made
    // while it is open holds an entry that agrees with its chain; nothing when it does.
    void recordEnd();

    void open(QIODevice::OpenMode mode);
    FileEntry& entryFor(bool reading, bool writing, bool& created);
    void giveFirstBlock(bool created);
    void requireWritable(const char* operation) const;
    void writeBackEnd();
    void dropReadAhead(qint64 pos);

    File* q;
    Archive* archive;
    QString name;
    FileEntry* entry = nullptr;
    std::optional<ChainCursor> cursor;
    qint64 size = 0;
    bool writing = false;
    bool recorded = true; // the entry holds the member as it stands
    // QIODevice::setErrorString, which only the device itself may call.
    std::function<void(const QString&)> showError;
    Archive::Error error = Archive::Error::NoError;
};

} // namespace Kest::Ar
