// A seeded, model-based randomised test of a working archive.
//
// Thousands of random operations (folders made, removed and entered; members created,
// written at random places, appended to, read, truncated, rewritten, flushed and removed;
// the archive closed and opened again) are applied both to an archive and to a plain model:
// a map from path to bytes and folder contents. Every read, every listing, every result and
// every debug message is compared with the model as it happens. After each reopen the whole
// tree and every member are compared with what the model says was written back, and every
// block of the archive is accounted for.
//
// A failure names the seed, the operation's index and text, and the operations before it.
// KEST_MODEL_SEED=<n> replays a seed; KEST_MODEL_OPS=<n> changes the number of operations;
// KEST_MODEL_TRACE=1 prints every operation as it ends.

#include "Archive.h"
#include "ArchiveTestUtil.h"
#include "Entry.h"
#include "File.h"
#include "TestAccess.h"
#include "TestSupport.h"

#include <QMap>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <memory>

using namespace Kest::Ar;
using KestTest::MessageLog;

namespace {

constexpr int DefaultOperations = 10000;

// The model: every entry by its absolute path ("/" is the root); a folder lists its
// children's names in the order in which the archive keeps them.
struct Node
{
    bool folder = false;
    QByteArray data;
    QStringList children;
};
using Tree = QMap<QString, Node>;

QString childPath(const QString& folder, const QString& name)
{
    return (folder == QLatin1String("/") ? QString() : folder) + QLatin1Char('/') + name;
}

QString parentPath(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash == 0 ? QStringLiteral("/") : path.left(slash);
}

QString nameOf(const QString& path)
{
    return path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
}

int depthOf(const QString& path)
{
    return path == QLatin1String("/") ? 0 : int(path.count(QLatin1Char('/')));
}

QString quotedMessage(const QString& text)
{
    return QString::fromUtf8(KestTest::quoted(text));
}

QString modeText(QIODevice::OpenMode mode)
{
    QStringList flags;
    if (mode & QIODevice::ReadOnly)
        flags << QStringLiteral("R");
    if (mode & QIODevice::WriteOnly)
        flags << QStringLiteral("W");
    if (mode & QIODevice::Append)
        flags << QStringLiteral("Append");
    if (mode & QIODevice::Unbuffered)
        flags << QStringLiteral("Unbuffered");
    return flags.join(QLatin1Char('|'));
}

class ModelRun
{
public:
    ModelRun(const QString& archivePath, unsigned int blockSize, quint32 seed)
        : path_(archivePath), blockSize_(blockSize), seed_(seed), random_(seed),
          maxMemberSize_(12 * qint64(blockSize) + 10)
    {
        tree_.insert(QStringLiteral("/"), Node{true, {}, {}});
        persisted_ = tree_;
    }

    // How many operations of each kind ran (by their first word), and how many were refused.
    const QMap<QString, int>& counts() const { return counts_; }

    // Runs the operations; returns an empty text on success, else what went wrong.
    QString run(int operations)
    {
        MessageLog log;
        log_ = &log;
        archive_.reset(new Archive(path_, blockSize_));
        begin(QStringLiteral("create the archive"));
        check(archive_->open(QIODevice::ReadWrite), QStringLiteral("open failed"));
        endOperation();
        for (index_ = 0; index_ < operations && failure_.isEmpty(); ++index_) {
            if (member_)
                memberOperation();
            else
                idleOperation();
            if (failure_.isEmpty())
                endOperation();
        }
        if (failure_.isEmpty()) {
            begin(QStringLiteral("final close and reopen"));
            if (member_)
                closeMember();
            reopen(false, QIODevice::ReadOnly);
            endOperation();
        }
        member_.reset();
        archive_.reset();
        log_ = nullptr;
        return failure_;
    }

private:
    // ---- Bookkeeping of operations and failures ----

    void begin(const QString& text)
    {
        if (!text.startsWith(QLatin1Char('(')))
            ++counts_[text.section(QLatin1Char(' '), 0, 0).section(QLatin1Char('('), 0, 0)];
        text_ = text;
        expected_.clear();
        log_->messages.clear();
    }
    void expect(const QString& message)
    {
        if (expected_.isEmpty())
            ++counts_[QStringLiteral("refused")];
        expected_ << message;
    }

    bool check(bool condition, const QString& detail)
    {
        if (!condition && failure_.isEmpty()) {
            failure_ = QStringLiteral("seed %1, block size %2, operation %3 (%4): %5")
                           .arg(seed_)
                           .arg(blockSize_)
                           .arg(index_)
                           .arg(text_, detail);
            if (!history_.isEmpty())
                failure_ += QStringLiteral("\nthe operations before it:\n  ") +
                            history_.join(QStringLiteral("\n  "));
        }
        return condition;
    }

    // Every operation ends by comparing the messages it produced with those it should have.
    void endOperation()
    {
        check(log_->messages == expected_, QStringLiteral("messages [%1], expected [%2]")
                                               .arg(log_->messages.join(QStringLiteral(" | ")),
                                                    expected_.join(QStringLiteral(" | "))));
        history_.append(QStringLiteral("%1: %2").arg(index_).arg(text_));
        if (trace_)
            std::fprintf(stderr, "%s\n", qPrintable(history_.last()));
        if (history_.size() > 12)
            history_.removeFirst();
    }

    int pick(int n) { return int(random_.bounded(n)); }
    bool chance(int percent) { return pick(100) < percent; }

    template <typename T> T pickFrom(const QList<T>& list)
    {
        return list.at(pick(int(list.size())));
    }

    QStringList folders() const
    {
        QStringList result;
        for (auto it = tree_.cbegin(); it != tree_.cend(); ++it) {
            if (it->folder)
                result << it.key();
        }
        return result;
    }
    QStringList files() const
    {
        QStringList result;
        for (auto it = tree_.cbegin(); it != tree_.cend(); ++it) {
            if (!it->folder)
                result << it.key();
        }
        return result;
    }
    QString newName()
    {
        static const QStringList names{"a", "b", "c", "d", "e", "f", "g", "qel_dir", "..", "x y"};
        return pickFrom(names);
    }
    // How an operation names an entry: absolute, or relative when it is in the current folder
    // (with a first component that is never looked at), sometimes with trailing separators.
    QString spelling(const QString& path, bool isMember)
    {
        QString text = path;
        const bool inCurrent = parentPath(path) == current_ && path != QLatin1String("/");
        const bool reserved = nameOf(path) == QLatin1String("qel_dir");
        if (inCurrent && !(isMember && reserved) && chance(40))
            text = chance(50) ? nameOf(path) : QStringLiteral("ignored/") + nameOf(path);
        if (!isMember && path != QLatin1String("/") && chance(10))
            text += QLatin1Char('/');
        return text;
    }
    void addChild(const QString& path, Node node)
    {
        tree_[parentPath(path)].children.append(nameOf(path));
        tree_.insert(path, node);
    }
    void removeEntry(const QString& path)
    {
        tree_[parentPath(path)].children.removeOne(nameOf(path));
        tree_.remove(path);
    }
    qint64 modelSize() const
    {
        qint64 total = 0;
        for (const Node& node : tree_)
            total += node.data.size();
        return total;
    }
    // A write-back stores the whole tree; with a member open for writing it is superseded by
    // that member's own close.
    void wroteBack()
    {
        if (!readOnly_ && !(member_ && memberWritable()))
            persisted_ = tree_;
    }
    qint64 length()
    {
        const qint64 b = blockSize_;
        switch (pick(5)) {
        case 0:
            return pick(4);
        case 1:
            return b - 1 + pick(3);
        case 2:
            return 2 * b + pick(3) - 1;
        default:
            return pick(int(2 * b));
        }
    }

    // ---- Operations while no member is open ----

    void idleOperation()
    {
        const int op = pick(100);
        if (op < 10)
            makeFolder();
        else if (op < 12)
            makeFolderInvalid();
        else if (op < 18)
            removeFolder();
        else if (op < 21)
            removeFolderInvalid();
        else if (op < 27)
            setCurrentFolder();
        else if (op < 28)
            setCurrentFolderInvalid();
        else if (op < 58)
            openMember();
        else if (op < 64)
            removeFile();
        else if (op < 66)
            removeFileInvalid();
        else if (op < 73)
            checkList();
        else if (op < 80)
            readWhole();
        else if (op < 83)
            auditNow();
        else if (op < 87)
            reopen(chance(50), chance(20) ? QIODevice::ReadOnly : QIODevice::ReadWrite);
        else
            openMember();
    }

    void makeFolder()
    {
        QStringList parents;
        for (const QString& f : folders()) {
            if (depthOf(f) < 3)
                parents << f;
        }
        const QString parent = pickFrom(parents);
        const QString path = childPath(parent, newName());
        if (tree_.contains(path) || tree_.size() > 60) {
            begin(QStringLiteral("(skipped makeFolder)"));
            return;
        }
        const QString text = spelling(path, false);
        begin(QStringLiteral("makeFolder(%1)").arg(text));
        if (check(archive_->makeFolder(text), QStringLiteral("returned false")))
            addChild(path, Node{true, {}, {}});
    }

    void makeFolderInvalid()
    {
        const QStringList all = tree_.keys();
        const QString existing = pickFrom(all);
        if (existing != QLatin1String("/") && chance(70)) {
            const QString text = spelling(existing, false);
            begin(QStringLiteral("makeFolder(%1) of an existing name").arg(text));
            expect(quotedMessage(
                QStringLiteral("makeFolder: %1 already exists").arg(nameOf(existing))));
            check(!archive_->makeFolder(text), QStringLiteral("returned true"));
        } else {
            const QString name = newName();
            begin(QStringLiteral("makeFolder(/nofolder/%1)").arg(name));
            expect(quotedMessage(QStringLiteral("parent: nofolder does not exist")));
            expect(
                quotedMessage(QStringLiteral("makeFolder: parent of %1 does not exist").arg(name)));
            check(!archive_->makeFolder(QStringLiteral("/nofolder/") + name),
                  QStringLiteral("returned true"));
        }
    }

    void removeFolder()
    {
        QStringList candidates;
        for (const QString& f : folders()) {
            if (f != QLatin1String("/") && f != current_ && tree_.value(f).children.isEmpty())
                candidates << f;
        }
        if (candidates.isEmpty()) {
            begin(QStringLiteral("(skipped removeFolder)"));
            return;
        }
        const QString path = pickFrom(candidates);
        const QString text = spelling(path, false);
        begin(QStringLiteral("removeFolder(%1)").arg(text));
        if (check(archive_->removeFolder(text), QStringLiteral("returned false")))
            removeEntry(path);
    }

    void removeFolderInvalid()
    {
        const QStringList all = tree_.keys();
        const QString path = pickFrom(all);
        const QString text = spelling(path, false);
        begin(QStringLiteral("removeFolder(%1), which is not removable").arg(text));
        const Node node = tree_.value(path);
        bool result = false;
        if (path == QLatin1String("/")) {
            expect(
                quotedMessage(QStringLiteral("removeFolder: the root folder cannot be removed")));
        } else if (!node.folder) {
            expect(quotedMessage(
                QStringLiteral("removeFolder: %1 is not a folder").arg(nameOf(path))));
        } else if (!node.children.isEmpty()) {
            expect(
                quotedMessage(QStringLiteral("removeFolder: %1 is not empty").arg(nameOf(path))));
        } else if (path == current_) {
            expect(quotedMessage(
                QStringLiteral("removeFolder: %1 is the current folder").arg(nameOf(path))));
        } else {
            // An empty folder that may go: ask for a missing sibling instead.
            const QString missing = childPath(parentPath(path), QStringLiteral("missing"));
            begin(QStringLiteral("removeFolder(%1) of a missing folder").arg(missing));
            expect(quotedMessage(QStringLiteral("removeFolder: missing does not exist")));
            check(archive_->removeFolder(missing), QStringLiteral("returned false"));
            return;
        }
        check(archive_->removeFolder(text) == result, QStringLiteral("returned true"));
    }

    void setCurrentFolder()
    {
        const QString path = pickFrom(folders());
        const QString text = spelling(path, false);
        begin(QStringLiteral("setCurrentFolder(%1)").arg(text));
        if (check(archive_->setCurrentFolder(text), QStringLiteral("returned false"))) {
            current_ = path;
            check(archive_->currentFolder() ==
                      (path == QLatin1String("/") ? QStringLiteral("/") : nameOf(path)),
                  QStringLiteral("currentFolder() is %1").arg(archive_->currentFolder()));
        }
    }

    void setCurrentFolderInvalid()
    {
        const QStringList memberPaths = files();
        if (!memberPaths.isEmpty() && chance(50)) {
            const QString path = pickFrom(memberPaths);
            const QString text = spelling(path, true);
            begin(QStringLiteral("setCurrentFolder(%1) of a member").arg(text));
            expect(quotedMessage(
                QStringLiteral("setCurrentFolder: %1 is not a folder").arg(nameOf(path))));
            check(!archive_->setCurrentFolder(text), QStringLiteral("returned true"));
        } else {
            const QString path = childPath(pickFrom(folders()), QStringLiteral("missing"));
            begin(QStringLiteral("setCurrentFolder(%1) of a missing folder").arg(path));
            expect(quotedMessage(QStringLiteral("setCurrentFolder: missing does not exist")));
            check(!archive_->setCurrentFolder(path), QStringLiteral("returned true"));
        }
    }

    void removeFile()
    {
        const QStringList memberPaths = files();
        if (memberPaths.isEmpty()) {
            begin(QStringLiteral("(skipped removeFile)"));
            return;
        }
        QString path = pickFrom(memberPaths);
        if (member_ && path == memberPath_) {
            begin(QStringLiteral("removeFile(%1) of the open member").arg(path));
            expect(quotedMessage(QStringLiteral("removeFile: %1 is open").arg(nameOf(path))));
            check(!archive_->removeFile(path), QStringLiteral("returned true"));
            return;
        }
        const QString text = spelling(path, true);
        begin(QStringLiteral("removeFile(%1)").arg(text));
        if (check(archive_->removeFile(text), QStringLiteral("returned false"))) {
            removeEntry(path);
            wroteBack();
        }
    }

    void removeFileInvalid()
    {
        if (chance(50)) {
            const QString path = childPath(pickFrom(folders()), QStringLiteral("missing"));
            begin(QStringLiteral("removeFile(%1) of a missing member").arg(path));
            expect(quotedMessage(QStringLiteral("removeFile: missing does not exist")));
            // Nothing is removed, so nothing is written back either.
            check(archive_->removeFile(path), QStringLiteral("returned false"));
        } else {
            const QStringList candidates = folders();
            const QString path = pickFrom(candidates);
            if (path == QLatin1String("/")) {
                begin(QStringLiteral("(skipped removeFile of the root)"));
                return;
            }
            const QString text = spelling(path, false);
            begin(QStringLiteral("removeFile(%1) of a folder").arg(text));
            expect(quotedMessage(QStringLiteral("removeFile: %1 is not a file").arg(nameOf(path))));
            check(!archive_->removeFile(text), QStringLiteral("returned true"));
        }
    }

    void checkList()
    {
        const auto filter = static_cast<Archive::Filter>(pick(3));
        begin(QStringLiteral("list(%1) of %2").arg(int(filter)).arg(current_));
        QStringList expected;
        for (const QString& name : tree_.value(current_).children) {
            const bool isFolder = tree_.value(childPath(current_, name)).folder;
            if (filter == Archive::All || isFolder == (filter == Archive::Folders))
                expected << name;
        }
        const QList<QString> listed = archive_->list(filter);
        check(listed == expected,
              QStringLiteral("listed [%1], expected [%2]")
                  .arg(listed.join(QLatin1Char(',')), expected.join(QLatin1Char(','))));
    }

    bool readWholeMember(const QString& path, const QString& text)
    {
        File file(archive_.get(), text);
        const QIODevice::OpenMode mode =
            chance(50) ? QIODevice::ReadOnly : QIODevice::ReadOnly | QIODevice::Unbuffered;
        if (!check(file.open(mode), QStringLiteral("cannot open %1 to read").arg(text)))
            return false;
        const QByteArray bytes = file.readAll();
        const QByteArray expected = tree_.value(path).data;
        return check(bytes == expected && file.size() == expected.size(),
                     QStringLiteral("%1 reads %2 bytes, expected %3 (first difference at %4)")
                         .arg(path)
                         .arg(bytes.size())
                         .arg(expected.size())
                         .arg(firstDifference(bytes, expected)));
    }

    static qsizetype firstDifference(const QByteArray& a, const QByteArray& b)
    {
        const qsizetype n = qMin(a.size(), b.size());
        for (qsizetype i = 0; i < n; ++i) {
            if (a[i] != b[i])
                return i;
        }
        return n;
    }

    void readWhole()
    {
        const QStringList memberPaths = files();
        if (memberPaths.isEmpty()) {
            begin(QStringLiteral("(skipped read)"));
            return;
        }
        const QString path = pickFrom(memberPaths);
        const QString text = spelling(path, true);
        begin(QStringLiteral("read all of %1").arg(text));
        readWholeMember(path, text);
    }

    void auditNow()
    {
        begin(QStringLiteral("audit"));
        const QStringList problems = KestTest::auditBlocks(*archive_);
        check(problems.isEmpty(), problems.join(QStringLiteral("; ")));
        check(archive_->size() == modelSize(),
              QStringLiteral("size() %1, expected %2").arg(archive_->size()).arg(modelSize()));
    }

    // Closes the archive and opens it again, in the same object or a new one, and compares
    // everything with what was last written back.
    void reopen(bool newObject, QIODevice::OpenMode mode)
    {
        begin(QStringLiteral("reopen %1 %2")
                  .arg(newObject ? QStringLiteral("in a new object") : QStringLiteral("in place"),
                       mode == QIODevice::ReadOnly ? QStringLiteral("ReadOnly")
                                                   : QStringLiteral("ReadWrite")));
        if (newObject) {
            // The block size given to the constructor does not matter for an existing archive.
            archive_.reset(new Archive(path_, 4096));
        } else {
            archive_->close();
        }
        if (!check(archive_->open(mode), QStringLiteral("open failed")))
            return;
        readOnly_ = mode == QIODevice::ReadOnly;
        tree_ = persisted_;
        current_ = QStringLiteral("/");
        check(archive_->blockSize() == blockSize_,
              QStringLiteral("block size %1").arg(archive_->blockSize()));
        check(archive_->currentFolder() == QLatin1String("/"),
              QStringLiteral("current folder %1").arg(archive_->currentFolder()));
        const QStringList problems = KestTest::auditBlocks(*archive_);
        if (!check(problems.isEmpty(), problems.join(QStringLiteral("; "))))
            return;
        for (auto it = tree_.cbegin(); it != tree_.cend() && failure_.isEmpty(); ++it) {
            if (!it->folder) {
                readWholeMember(it.key(), it.key());
                continue;
            }
            if (!check(archive_->setCurrentFolder(it.key()),
                       QStringLiteral("cannot enter %1").arg(it.key())))
                return;
            const QList<QString> listed = archive_->list();
            check(listed == it->children, QStringLiteral("%1 lists [%2], expected [%3]")
                                              .arg(it.key(), listed.join(QLatin1Char(',')),
                                                   it->children.join(QLatin1Char(','))));
        }
        check(archive_->setCurrentFolder(QStringLiteral("/")), QStringLiteral("cannot go back"));
        check(archive_->size() == modelSize(),
              QStringLiteral("size() %1, expected %2").arg(archive_->size()).arg(modelSize()));
    }

    // ---- Member files ----

    bool memberWritable() const { return memberMode_ & QIODevice::WriteOnly; }
    bool memberReadable() const { return memberMode_ & QIODevice::ReadOnly; }

    void openMember()
    {
        static const QList<QIODevice::OpenMode> modes{
            QIODevice::WriteOnly,
            QIODevice::WriteOnly,
            QIODevice::WriteOnly | QIODevice::Append,
            QIODevice::ReadWrite,
            QIODevice::ReadWrite,
            QIODevice::ReadWrite,
            QIODevice::ReadOnly,
            QIODevice::ReadOnly,
            QIODevice::ReadWrite | QIODevice::Append,
            QIODevice::ReadOnly | QIODevice::Append,
        };
        QIODevice::OpenMode mode = pickFrom(modes);
        if (chance(50))
            mode |= QIODevice::Unbuffered;
        const QStringList memberPaths = files();
        QString path;
        if (!memberPaths.isEmpty() && chance(65)) {
            path = pickFrom(memberPaths);
        } else {
            path = childPath(pickFrom(folders()), newName());
            if (tree_.contains(path) && tree_.value(path).folder) {
                const QString text = spelling(path, true);
                begin(QStringLiteral("open(%1) of folder %2").arg(modeText(mode), text));
                File file(archive_.get(), text);
                if (readOnly_ && (mode & QIODevice::WriteOnly))
                    expect(QStringLiteral("open: archive is read-only"));
                else if (mode & QIODevice::ReadOnly)
                    expect(QStringLiteral("open: %1 must already exist").arg(text));
                else
                    expect(quotedMessage(
                        QStringLiteral("fileEntry: %1 is a folder").arg(nameOf(path))));
                check(!file.open(mode), QStringLiteral("opened a folder"));
                return;
            }
            if (files().size() > 40) {
                begin(QStringLiteral("(skipped creating a member)"));
                return;
            }
        }
        const bool exists = tree_.contains(path);
        const QString text = spelling(path, true);
        begin(QStringLiteral("open(%1) of %2").arg(modeText(mode), text));
        auto file = std::make_unique<File>(archive_.get(), text);
        if (readOnly_ && (mode & QIODevice::WriteOnly)) {
            expect(QStringLiteral("open: archive is read-only"));
            check(!file->open(mode), QStringLiteral("opened for writing"));
            return;
        }
        if (!exists && (mode & QIODevice::ReadOnly)) {
            expect(QStringLiteral("open: %1 must already exist").arg(text));
            check(!file->open(mode), QStringLiteral("opened a missing member"));
            return;
        }
        if (!check(file->open(mode), QStringLiteral("open failed")))
            return;
        if (!exists)
            addChild(path, Node{});
        member_ = std::move(file);
        memberPath_ = path;
        memberMode_ = mode;
        const bool keeps = mode & (QIODevice::ReadOnly | QIODevice::Append);
        memberData_ = keeps ? tree_.value(path).data : QByteArray();
        const qint64 start = (mode & QIODevice::Append) ? memberData_.size() : 0;
        checkMemberState(start);
    }

    void checkMemberState(qint64 pos)
    {
        check(member_->size() == memberData_.size() && member_->pos() == pos,
              QStringLiteral("size %1 at %2, expected %3 at %4")
                  .arg(member_->size())
                  .arg(member_->pos())
                  .arg(memberData_.size())
                  .arg(pos));
    }

    void memberOperation()
    {
        const int op = pick(100);
        if (op < 25 || op >= 92)
            writeMember();
        else if (op < 40)
            seekMember();
        else if (op < 60)
            readMember();
        else if (op < 65)
            truncateMember();
        else if (op < 68)
            flushMember();
        else if (op < 70)
            makeFolder();
        else if (op < 72)
            checkList();
        else if (op < 75)
            removeFileWhileOpen();
        else if (op < 80)
            seekBeyondEnd();
        else
            closeMember();
    }

    // Moves the open member, as part of the operation begun last.
    bool seekTo(qint64 to)
    {
        text_ += QStringLiteral(" after seek(%1)").arg(to);
        if (!check(member_->seek(to), QStringLiteral("seek returned false")))
            return false;
        checkMemberState(to);
        return failure_.isEmpty();
    }

    void writeMember()
    {
        if (!memberWritable()) {
            begin(QStringLiteral("(skipped write on a read-only member)"));
            return;
        }
        begin(QStringLiteral("write"));
        if (chance(40) && !seekTo(pick(int(memberData_.size()) + 1)))
            return;
        const qint64 at = member_->pos();
        const qint64 n = qMax<qint64>(0, qMin(length(), maxMemberSize_ - at));
        const QByteArray bytes = KestTest::patternBytes(n, seed_ + quint32(index_));
        text_ += QStringLiteral(": %1 bytes at %2").arg(n).arg(at);
        if (!check(member_->write(bytes) == n, QStringLiteral("short write")))
            return;
        if (at + n > memberData_.size())
            memberData_.resize(at + n);
        memberData_.replace(at, n, bytes);
        checkMemberState(at + n);
    }

    void seekMember()
    {
        begin(QStringLiteral("seek"));
        seekTo(pick(int(memberData_.size()) + 1));
    }

    void seekBeyondEnd()
    {
        const qint64 at = member_->pos();
        const qint64 to = chance(50) ? -1 - pick(3) : memberData_.size() + 1 + pick(3);
        begin(QStringLiteral("seek(%1), out of range").arg(to));
        check(!member_->seek(to), QStringLiteral("returned true"));
        checkMemberState(at);
    }

    void readMember()
    {
        if (!memberReadable()) {
            begin(QStringLiteral("(skipped read on a write-only member)"));
            return;
        }
        begin(QStringLiteral("read"));
        if (chance(40) && !seekTo(pick(int(memberData_.size()) + 1)))
            return;
        const qint64 at = member_->pos();
        const qint64 n = length();
        text_ += QStringLiteral(": %1 bytes at %2").arg(n).arg(at);
        const QByteArray bytes = member_->read(n);
        const QByteArray expected = memberData_.mid(at, n);
        if (!check(bytes == expected,
                   QStringLiteral("read %1 bytes, expected %2 (difference at %3)")
                       .arg(bytes.size())
                       .arg(expected.size())
                       .arg(firstDifference(bytes, expected))))
            return;
        checkMemberState(at + expected.size());
    }

    void truncateMember()
    {
        begin(QStringLiteral("truncate"));
        if (chance(50) && !seekTo(pick(int(memberData_.size()) + 1)))
            return;
        const qint64 at = member_->pos();
        text_ += QStringLiteral(" at %1").arg(at);
        const bool cut = member_->truncate();
        if (!check(cut == memberWritable(), QStringLiteral("returned %1").arg(cut)))
            return;
        if (cut) {
            memberData_.truncate(at);
            wroteBack();
        }
        checkMemberState(at);
    }

    void flushMember()
    {
        const qint64 at = member_->pos();
        begin(QStringLiteral("flush()"));
        // A read-only member's flush writes nothing; a writable member's is superseded by
        // its own close, so the model's record of what was written back stays as it is.
        member_->flush();
        checkMemberState(at);
    }

    // Another member is removed while this one is open: the removal writes the directory,
    // which moves the archive's position, so the open member seeks to its own position again.
    void removeFileWhileOpen()
    {
        removeFile();
        if (!failure_.isEmpty() || !member_)
            return;
        const qint64 at = member_->pos();
        check(member_->seek(at), QStringLiteral("seek back to %1 failed").arg(at));
    }

    void closeMember()
    {
        begin(QStringLiteral("close %1").arg(memberPath_));
        member_->close();
        const bool writable = memberWritable();
        member_.reset();
        if (writable) {
            tree_[memberPath_].data = memberData_;
            wroteBack();
        }
    }

    const QString path_;
    const unsigned int blockSize_;
    const quint32 seed_;
    QRandomGenerator random_;
    const qint64 maxMemberSize_;

    Tree tree_;
    Tree persisted_;
    QString current_ = QStringLiteral("/");
    bool readOnly_ = false;

    std::unique_ptr<Archive> archive_;
    std::unique_ptr<File> member_;
    QString memberPath_;
    QIODevice::OpenMode memberMode_;
    QByteArray memberData_;

    MessageLog* log_ = nullptr;
    int index_ = -1;
    QString text_;
    QStringList expected_;
    QStringList history_;
    QString failure_;
    QMap<QString, int> counts_;
    const bool trace_ = qEnvironmentVariableIsSet("KEST_MODEL_TRACE");
};

} // namespace

class tst_Model : public QObject
{
    Q_OBJECT

private slots:
    void randomOperations_data();
    void randomOperations();
};

void tst_Model::randomOperations_data()
{
    QTest::addColumn<uint>("blockSize");
    QTest::addColumn<quint32>("seed");
    bool fixed = false;
    const quint32 chosen = qEnvironmentVariable("KEST_MODEL_SEED").toUInt(&fixed);
    for (uint blockSize : {64u, 512u, 4096u})
        QTest::addRow("%u", blockSize) << blockSize << (fixed ? chosen : 0x5EED0000u + blockSize);
}

void tst_Model::randomOperations()
{
    QFETCH(uint, blockSize);
    QFETCH(quint32, seed);
    bool given = false;
    int operations = qEnvironmentVariable("KEST_MODEL_OPS").toInt(&given);
    if (!given || operations <= 0)
        operations = DefaultOperations;
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    ModelRun run(dir.filePath(QStringLiteral("model.qel")), blockSize, seed);
    const QString failure = run.run(operations);
    QVERIFY2(failure.isEmpty(), qPrintable(failure));

    // The run did what it is meant to: every kind of operation, many times over.
    QStringList summary;
    for (auto it = run.counts().cbegin(); it != run.counts().cend(); ++it)
        summary << QStringLiteral("%1 %2").arg(it.key()).arg(it.value());
    qInfo("%s", qPrintable(summary.join(QStringLiteral(", "))));
    if (operations < DefaultOperations)
        return;
    const QMap<QString, int> least{{"write", 1000},
                                   {"read", 500},
                                   {"seek", 500},
                                   {"truncate", 150},
                                   {"flush", 100},
                                   {"close", 400},
                                   {"open", 700},
                                   {"reopen", 60},
                                   {"makeFolder", 150},
                                   {"removeFolder", 150},
                                   {"removeFile", 200},
                                   {"list", 150},
                                   {"setCurrentFolder", 100},
                                   {"audit", 40},
                                   {"refused", 300}};
    for (auto it = least.cbegin(); it != least.cend(); ++it)
        QVERIFY2(
            run.counts().value(it.key()) >= it.value(),
            qPrintable(
                QStringLiteral("only %1 of %2").arg(run.counts().value(it.key())).arg(it.key())));
}

QTEST_GUILESS_MAIN(tst_Model)
#include "tst_model.moc"
