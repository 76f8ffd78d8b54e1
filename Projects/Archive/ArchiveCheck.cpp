// Reports on an open archive: figures for tools, and the full consistency check.

#include "Archive.h"
#include "Entry.h"

namespace Kest::Ar {

namespace {

void countEntries(const FolderEntry* folder, Archive::Statistics& figures)
{
    for (const Entry* child : *folder) {
        if (child->isFolder()) {
            ++figures.folders;
            countEntries(static_cast<const FolderEntry*>(child), figures);
        } else {
            ++figures.memberFiles;
        }
    }
}

} // namespace

Archive::Statistics Archive::statistics() const
{
    Statistics figures;
    figures.formatVersion = version_;
    figures.blockSize = blockSize_;
    figures.blocks = nBlocks_;
    figures.tableBlocks = nClusters();
    figures.freeBlocks = nFreeBlocks();
    figures.directorySize = directory_->size();
    figures.memberBytes = root_->size();
    countEntries(root_, figures);
    return figures;
}

} // namespace Kest::Ar
