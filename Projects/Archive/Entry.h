#pragma once

#include <QDataStream>
#include <QList>
#include <QString>

namespace Kest::Ar {

class FolderEntry;

// The directory tree of an archive. Entries are internal to the library.
//
// Stored form (QDataStream defaults, big-endian): a file body is name (QString), size
// (int64; uint32 in archives of format version 2 and lower), first block and last block
// (int32). A folder body is name, child count (int32), then for every child its type code
// (int32: 0 file, 1 folder) followed by its body, depth first.
class Entry
{
public:
    enum Type { FileType = 0, FolderType = 1 };

    Entry() = default;
    explicit Entry(const QString& name);
    virtual ~Entry() = default;
    Entry(const Entry&) = delete;
    Entry& operator=(const Entry&) = delete;

    virtual qint64 size() const = 0;
    virtual bool isFolder() const = 0;
    virtual QString toString() const;
    virtual void read(QDataStream& in);
    virtual void write(QDataStream& out) const;
    virtual int type() const = 0;

    QString name() const;
    FolderEntry* parent() const;
    void setParent(FolderEntry* folder);

    // Reads a type code and the body that follows; null (and a debug message) for an
    // unknown code. The caller owns the result.
    static Entry* load(QDataStream& in);
    void store(QDataStream& out) const;

protected:
    static QString dumpLine(const QString& key, const QString& value);

private:
    friend class FolderEntry;

    QString name_;
    FolderEntry* parent_ = nullptr;
};

class FileEntry : public Entry
{
public:
    FileEntry() = default;
    explicit FileEntry(const QString& name);

    qint64 size() const override;
    bool isFolder() const override;
    QString toString() const override;
    void read(QDataStream& in) override;
    void write(QDataStream& out) const override;
    int type() const override;

    void setSize(qint64 size);
    int firstBlock() const;
    void setFirstBlock(int block);
    int lastBlock() const;
    void setLastBlock(int block);
    bool isUnallocated() const;

    // The width in bytes (4 or 8) in which read() takes the stored size; process-wide.
    static void setSizeWidth(int width);

private:
    static int sizeWidth;

    qint64 size_ = 0;
    int firstBlock_ = -1;
    int lastBlock_ = -1;
};

class FolderEntry : public Entry
{
public:
    using Children = QList<Entry*>;

    FolderEntry() = default;
    explicit FolderEntry(const QString& name);
    ~FolderEntry() override;

    qint64 size() const override;
    bool isFolder() const override;
    QString toString() const override;
    void read(QDataStream& in) override;
    void write(QDataStream& out) const override;
    int type() const override;

    Entry* child(const QString& name) const;
    bool contains(const QString& name) const;
    void addChild(Entry* entry);
    FileEntry* newFile(const QString& name);
    void removeChild(Entry* entry);
    bool rename(Entry* entry, const QString& name);
    bool isEmpty() const;

    Children::const_iterator begin() const { return children_.cbegin(); }
    Children::const_iterator end() const { return children_.cend(); }

private:
    void deleteChildren();
    void readChildren(QDataStream& in, quint32 count);

    Children children_;
};

QDataStream& operator>>(QDataStream& in, Entry& entry);
QDataStream& operator<<(QDataStream& out, const Entry& entry);

} // namespace Kest::Ar
