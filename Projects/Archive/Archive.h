#pragma once

#include "KestArchiveGlobal.h"
#include "qtlockedfile.h"

#include <QBitArray>
#include <QHash>
#include <QIODevice>
#include <QList>
#include <QString>
#include <QStringList>

namespace Kest::Ar {

class Entry;
class FileEntry;
class FolderEntry;
class File;
class TestAccess;

// One archive: a whole tree of folders and member files kept inside one container file.
//
// The container is a header area followed by blocks of one fixed size. A block allocation
// table, stored in the first block of every cluster, links the blocks of each stream (member
// files, the directory of the tree, the free list and the table itself) into chains.
//
// Readers share an archive; a writer has it alone. A conflicting open fails at once.
// An archive and its member files are used from one thread at a time.
class KESTARCHIVE_EXPORT Archive
{
public:
    // The host application's version, stamped into the archive header.
    class KESTARCHIVE_EXPORT Version
    {
    public:
        Version(int major = 0, int minor = 0, int patch = 0);
        // Parses up to three dot-separated numbers ("1.2.3", "1.2", "7"); see the .cpp.
        Version(const QString& text);

        int major;
        int minor;
        int patch;
    };

    // A place in the container: a global block number and a byte offset inside that block.
    // An offset equal to the block size is the end of that block.
    class KESTARCHIVE_EXPORT Position
    {
    public:
        Position();
        Position(int block, qint64 offset);

        int block;
        qint64 offset;
    };

    enum FragmentationType { InternalFragmentation = 0, ExternalFragmentation = 1 };
    enum Filter { Files = 0, Folders = 1, All = 2 };

    // Figures about the container, for tools that report on an archive.
    struct Statistics
    {
        int formatVersion = 0;
        unsigned int blockSize = 0;
        int blocks = 0;
        int tableBlocks = 0;
        int freeBlocks = 0;
        qint64 directorySize = 0;
        int memberFiles = 0;
        int folders = 0;
        qint64 memberBytes = 0;
    };

    Archive(const QString& name, unsigned int blockSize = DefaultBlockSize);
    ~Archive();
    Archive(const Archive&) = delete;
    Archive& operator=(const Archive&) = delete;

    unsigned int blockSize() const;
    Version applicationVersion() const;
    void setApplicationVersion(const Version& v);
    int mode() const;
    QString name() const;
    QFile& getFile();
    void setFile(const QString& name);
    static bool isArchive(const QString& path);

    bool open(QIODevice::OpenMode mode);
    void close();
    qint64 size() const;
    static bool isLocked(const QString& path);
    static Version peekVersion(const QString& path);

    bool removeFile(const QString& path);

    QString currentFolder() const;
    bool setCurrentFolder(const QString& path);
    bool makeFolder(const QString& path);
    bool removeFolder(const QString& path);
    bool fileExists(const QString& path) const;
    QList<QString> list(Filter filter = All) const;

    bool importFileFromDisk(const QString& archivePath, const QString& diskPath);
    bool exportFileToDisk(const QString& archivePath, const QString& diskPath);

    double fragmentation(FragmentationType type) const;

    // The format version stored in the header that was read (or that a new archive gets).
    int formatVersion() const;
    Statistics statistics() const;
    // A full consistency check of the open archive, read-only. Returns one line per problem;
    // an empty list means the archive is consistent. It looks at the header fields, the
    // table's own chain, and whether every block is exactly one of a table block, a block of
    // one chain (a member file or the directory stream) or a free block: cycles, cross-links,
    // leaked blocks, links outside the table, chains that do not fit their entry's size and
    // last block, and duplicate names in a folder. Its work is bounded by the number of blocks
    // and entries. Run it while no member file is open for writing: an open member's entry is
    // brought up to date only when it is closed.
    QStringList check() const;

    // Writes the directory, the changed table blocks and the header now, so that changes made
    // only in memory (makeFolder, removeFolder, setApplicationVersion) reach the file without
    // writing a member. False, with a debug message, when the archive is not open for writing
    // or a write fails. Like a member's flush, it moves the archive's position: call it while
    // no member file is transferring data.
    bool writeBack();

protected:
    // Markers in the allocation table; never block numbers.
    static constexpr int END_OF_CHAIN = -1;
    static constexpr int INVALID = -2;

    // Allocation table.
    int newBlock();
    void freeBlocks(int first, int last);
    int nextBlock(int i) const;
    void setNextBlock(int i, int next);
    int cluster(int block) const;
    int globalBlock(int first, int local) const;

    // Chain I/O from the current position.
    qint64 readData(char* data, qint64 maxlen);
    qint64 writeData(const char* data, qint64 len);
    void fillCurrentBlock();
    bool atLastBlock() const;

    // Addressing.
    Position currentPosition() const;
    qint64 offset(Position p) const;
    Position position(qint64 pos) const;
    void toPosition(const Position& p);
    void toPosition(int block);

    // Write-back.
    void flush(bool withDirectory);

    // Paths.
    QString localName(const QString& path) const;
    FolderEntry* parent(const QString& path) const;
    FileEntry* fileEntry(const QString& path);

private:
    static constexpr int ArchiveSignature = 0x136BD5EF;
    static constexpr int CurrentVersion = 4;
    static constexpr unsigned int DefaultBlockSize = 4096;
    static constexpr unsigned int DefaultHeaderSize = 256;
    static const QString DirectoryName;
    static const QString RootName;
    // The block sizes an archive may have: at least two table entries per block, and blocks
    // small enough that one can be held in memory without concern.
    static constexpr unsigned int MinBlockSize = 8;
    static constexpr unsigned int MaxBlockSize = 64u * 1024u * 1024u;
    // The header area of format versions 1 to 3.
    static constexpr unsigned int LegacyHeaderSize = 64;

    static bool isValidBlockSize(quint64 blockSize);

    // Header.
    void readHeader();
    void writeHeader();
    int storedFormatVersion() const;
    void checkHeaderFields() const;
    bool checkHeader(QStringList& problems) const;

    // Allocation table.
    void allocateNewCluster();
    void readBat();
    void writeBat();
    bool isClusterChanged(int i) const;
    void setClusterChanged(int i, bool changed);
    int nFreeBlocks() const;
    QString batToString() const;
    bool isBlock(int b) const;
    int nClusters() const;
    int lastBlockOfChain(int first) const;
    void releaseChainAfter(int block);
    void correctLegacyTableStart();
    int recoverDirectoryLink(int survivingLowHalf) const;
    bool directoryChainFits(int linkOfBlockOne) const;
    void cutFreeListAtDamage();

    // Chain I/O.
    qint64 readWithinBlock(char* data, qint64 maxlen);
    qint64 writeWithinBlock(const char* data, qint64 len);
    bool moveToNextBlockForReading();
    void moveToNextBlockForWriting();
    qint64 doReadBlock(char* data, qint64 len);
    qint64 doWriteBlock(const char* data, qint64 len);

    // The container primitives: every byte between the archive and its file passes here.
    bool moveFile(qint64 fileOffset);
    qint64 readFile(char* data, qint64 len);
    qint64 writeFile(const char* data, qint64 len);
    void flushFile();
    qint64 fileSize() const;
    void truncateFile(qint64 size);

    // Directory and write-back.
    void readDirectory();
    void writeDirectory();
    bool isWritable() const;

    // Lifecycle.
    void resetToConstructedState();
    bool openFile(QIODevice::OpenMode mode, bool existed);
    bool createsArchive(QIODevice::OpenMode mode, bool existed) const;
    void loadArchive();
    void createArchive();

    // Paths.
    struct Target
    {
        FolderEntry* folder = nullptr; // the folder that holds the entry; null when missing
        QString name;                  // the entry's own name
        bool isRoot = false;           // the path names the root folder
    };
    Target resolve(const QString& path) const;
    Entry* childOf(const Target& target) const;

    // Member files that are open, counted per entry, so that an open member is not removed.
    void registerOpenFile(const FileEntry* entry);
    void unregisterOpenFile(const FileEntry* entry);
    bool isOpenFile(const FileEntry* entry) const;

    // Import and export.
    bool copy(QIODevice& from, QIODevice& to) const;

    QtLockedFile file_;
    int version_;
    unsigned int blockSize_;
    unsigned int headerSize_;
    QList<int> table_;
    QBitArray isClusterChanged_;
    int nBlocks_;
    int nBlocksPerCluster_;
    int firstFreeBlock_;
    Position current_;
    FileEntry* directory_;
    FolderEntry* root_;
    FolderEntry* currentFolder_;
    Version applicationVersion_;

    // The block size given to the constructor, which a new archive gets on every reopen.
    unsigned int constructedBlockSize_;
    QHash<const FileEntry*, int> openFiles_;

    friend class File;
    friend class TestAccess;
};

} // namespace Kest::Ar
