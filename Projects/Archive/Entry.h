#pragma once

// The directory tree of an archive. Not installed.
//
// Stored form (QDataStream defaults, big-endian): a file body is name (QString), size (int64;
// uint32 in archives of format version 2 and lower), first block and last block (int32). A
// folder body is name, child count (int32), then for every child its type code (int32: 0 file,
// 1 folder) followed by its body, depth first.

#include <QDataStream>
#include <QHash>
#include <QList>
#include <QString>

namespace Kest::Ar {

class FolderEntry;

// Folders nest at most this deep, the root counting as the first level. The reader refuses a
// deeper tree (a damaged one could otherwise exhaust the stack) and so the writer never makes
// one.
constexpr int MaxFolderDepth = 4096;

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
    virtual int type() const = 0;
    // Reads the body. `sizeWidth` is the width of stored member sizes (4 or 8 bytes);
    // `depth` the level at which a folder body stands (the root's is 1).
    virtual void read(QDataStream& in, int sizeWidth, int depth = 1);
    // Appends the body in its stored form. Written directly rather than through a QDataStream,
    // which costs several times as much for the many small fields of a large tree.
    virtual void appendTo(QByteArray& out) const;
    void write(QDataStream& out) const;

    QString name() const;
    FolderEntry* parent() const;
    // The number of folders from the root down to this entry's own level, the root's being 1.
    int level() const;

    // Reads a type code and the body that follows; null for an unknown code. The caller owns
    // the result.
    static Entry* load(QDataStream& in, int sizeWidth, int depth);
    // The type code, then the body.
    void store(QByteArray& out) const;

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
    int type() const override;
    void read(QDataStream& in, int sizeWidth, int depth = 1) override;
    void appendTo(QByteArray& out) const override;

    void setSize(qint64 size);
    int firstBlock() const;
    void setFirstBlock(int block);
    int lastBlock() const;
    void setLastBlock(int block);
    // A member that has never been given a block: first block END_OF_CHAIN.
    bool isUnallocated() const;

private:
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
    int type() const override;
    void read(QDataStream& in, int sizeWidth, int depth = 1) override;
    void appendTo(QByteArray& out) const override;

    Entry* child(const QString& name) const;
    bool contains(const QString& name) const;
    void addChild(Entry* entry);
    FileEntry* newFile(const QString& name);
    void removeChild(Entry* entry);
    bool isEmpty() const;

    Children::const_iterator begin() const { return children_.cbegin(); }
    Children::const_iterator end() const { return children_.cend(); }

private:
    void deleteChildren();
    void readChildren(QDataStream& in, quint32 count, int sizeWidth, int depth);

    Children children_; // in stored order
    // The first child of each name, so that a lookup costs the same in a folder of any size.
    // A damaged directory may hold a name twice; the later ones are found only by iterating.
    QHash<QString, Entry*> byName_;
};

} // namespace Kest::Ar
