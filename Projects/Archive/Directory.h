#pragma once

// The directory: the tree of folders and member entries, the current folder, paths, and the
// directory stream that stores the tree. Not installed.
//
// Paths use "/" and nothing else. A path that begins with "/" is resolved from the root; any
// other path names an entry of the current folder directly (its earlier components are not
// walked). "." and ".." are ordinary names; names are compared exactly. A path made only of
// separators names the root, and trailing separators are ignored ("/a/b/" is "/a/b").
//
// The stream is one more chain, whose own entry the header keeps: the root folder's stored
// form, depth first. Refusals throw a Failure whose text begins with the operation's name.

#include "Entry.h"

#include <QString>

#include <memory>

namespace Kest::Ar {

class AllocationTable;
class Container;
struct Header;

class Directory
{
public:
    // The reserved names of the stream that stores the tree and of the root folder.
    static QString streamName();
    static QString rootName();

    Directory();

    // An empty tree and a stream without blocks.
    void reset();
    // Reads the stream that the header describes; throws Corrupt when it does not hold a tree.
    void load(AllocationTable& table, Container& container, const Header& header);
    // Writes the tree over the stream's chain, which grows or shrinks to fit, and records the
    // stream's size and blocks in its entry.
    void store(AllocationTable& table, Container& container);
    QByteArray encode() const;

    FolderEntry& root();
    const FolderEntry& root() const;
    FileEntry& stream();
    const FileEntry& stream() const;
    // Whether the tree has changed since it was last stored.
    bool isChanged() const;
    void setChanged();

    const FolderEntry& current() const;
    QString currentFolderPath() const;
    void setCurrentFolder(const QString& path);
    void makeFolder(const QString& path);
    void removeFolder(const QString& path);
    // The folder that `path` names; throws NotFound or NotAFolder.
    const FolderEntry& folder(const QString& path, const char* operation) const;
    // The entry that `path` names, or null; the root for a root path.
    const Entry* find(const QString& path) const;
    // The member that `path` names; throws NotFound or NotAFile.
    FileEntry& member(const QString& path, const char* operation);
    // The member that `path` names, made as the last child of its folder when missing.
    FileEntry& memberOrNew(const QString& path, const char* operation);
    // Takes the member out of the tree and deletes it.
    void remove(FileEntry& member);

    struct Target
    {
        FolderEntry* folder = nullptr; // the folder that holds the entry; null for the root
        QString name;                  // the entry's own name; "/" for the root
        bool isRoot = false;
        Entry* entry() const;
    };
    // Where `path` leads; throws NotFound or NotAFolder when a folder on the way is missing
    // or is a member.
    Target resolve(const QString& path, const char* operation) const;

private:
    FileEntry& memberAt(const Target& target, const char* operation);

    std::unique_ptr<FolderEntry> root_;
    FileEntry stream_;
    QByteArray stored_; // the stream's bytes as they are in the file
    FolderEntry* current_;
    bool changed_ = false;
};

} // namespace Kest::Ar
