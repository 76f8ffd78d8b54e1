#pragma once

// A fixed sequence of changes to an archive, each ending in a commit, and the archive's whole
// content after each of them: what the fault and crash sweeps run and compare against.

#include "Archive.h"

#include <QList>
#include <QMap>

#include <functional>

namespace KestTest {

using Kest::Ar::Archive;

// An archive's content: every path, with a member's bytes or, for a folder, FolderMark.
using Content = QMap<QString, QByteArray>;
inline const QByteArray FolderMark = QByteArrayLiteral("<folder>");

// The content of an open archive, read through its public API.
Content contentOf(Archive& archive);

class Workload
{
public:
    Workload();
    // The number of steps; step i (0-based) changes content(i) into content(i + 1).
    int steps() const;
    // Runs step i; false when the archive refused or failed it.
    bool run(int i, Archive& archive) const;
    const Content& content(int i) const;
    // Makes the archive the workload starts from (content(0)), with ordinary I/O.
    static bool prepare(const QString& path, Archive::Durability durability);

private:
    struct Step
    {
        std::function<bool(Archive&)> change;
        std::function<void(Content&)> model;
    };
    QList<Step> steps_;
    QList<Content> contents_;
};

} // namespace KestTest
