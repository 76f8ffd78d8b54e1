#pragma once

#include "Archive.h"
#include "Entry.h"
#include "File.h"

namespace Kest::Ar {

// The one door through which tests reach the archive's internals. Archive declares it a
// friend; everything here only forwards.
class TestAccess
{
public:
    // Constants.
    static int archiveSignature() { return Archive::ArchiveSignature; }
    static QString directoryName() { return Archive::DirectoryName; }
    static QString rootName() { return Archive::RootName; }

    // Members.
    static QtLockedFile& file(Archive& a) { return a.file_; }
    static int& version(Archive& a) { return a.version_; }
    static unsigned int& blockSize(Archive& a) { return a.blockSize_; }
    static unsigned int& headerSize(Archive& a) { return a.headerSize_; }
    static QList<int>& table(Archive& a) { return a.table_; }
    static QBitArray& changedClusters(Archive& a) { return a.isClusterChanged_; }
    static int& nBlocks(Archive& a) { return a.nBlocks_; }
    static int& nBlocksPerCluster(Archive& a) { return a.nBlocksPerCluster_; }
    static int& firstFreeBlock(Archive& a) { return a.firstFreeBlock_; }
    static Archive::Position& current(Archive& a) { return a.current_; }
    static FileEntry* directory(Archive& a) { return a.directory_; }
    static FolderEntry* root(Archive& a) { return a.root_; }
    static FolderEntry* currentFolderEntry(Archive& a) { return a.currentFolder_; }

    // Header.
    static void readHeader(Archive& a) { a.readHeader(); }
    static void writeHeader(Archive& a) { a.writeHeader(); }

    // Allocation table.
    static int newBlock(Archive& a) { return a.newBlock(); }
    static void freeBlocks(Archive& a, int first, int last) { a.freeBlocks(first, last); }
    static int nextBlock(const Archive& a, int i) { return a.nextBlock(i); }
    static void setNextBlock(Archive& a, int i, int next) { a.setNextBlock(i, next); }
    static int globalBlock(const Archive& a, int first, int local)
    {
        return a.globalBlock(first, local);
    }
    static void writeBat(Archive& a) { a.writeBat(); }
    static void setClusterChanged(Archive& a, int i, bool c) { a.setClusterChanged(i, c); }
    static int nFreeBlocks(const Archive& a) { return a.nFreeBlocks(); }

    // Chain I/O and addressing.
    static qint64 readData(Archive& a, char* data, qint64 n) { return a.readData(data, n); }
    static qint64 writeData(Archive& a, const char* data, qint64 n) { return a.writeData(data, n); }
    static void fillCurrentBlock(Archive& a) { a.fillCurrentBlock(); }
    static Archive::Position currentPosition(const Archive& a) { return a.currentPosition(); }
    static qint64 offset(const Archive& a, Archive::Position p) { return a.offset(p); }
    static void toPosition(Archive& a, const Archive::Position& p) { a.toPosition(p); }
    static void toPosition(Archive& a, int block) { a.toPosition(block); }

    // Directory and write-back.
    static void flush(Archive& a, bool withDirectory) { a.flush(withDirectory); }

    // Paths.
    static QString localName(const Archive& a, const QString& path) { return a.localName(path); }
    static FolderEntry* parent(const Archive& a, const QString& path) { return a.parent(path); }
    static FileEntry* fileEntry(Archive& a, const QString& path) { return a.fileEntry(path); }

    // Import and export.
    static bool copy(const Archive& a, QIODevice& from, QIODevice& to) { return a.copy(from, to); }
};

} // namespace Kest::Ar
