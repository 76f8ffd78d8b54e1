// A seeded, model-based randomised test of a working archive.
//
// Random operations (folders made, removed and entered; members created, written at random
// places, appended to, read, truncated, flushed and removed; the archive closed and opened
// again) go both to an archive and to a plain model: a map from path to bytes and folder
// children in order. Every result, read and listing is compared with the model as it happens;
// after each reopen the whole tree and every member are compared with what the model says was
// written back, and every block of the archive must be accounted for.
//
// A failure names the seed, the operation's index and text, and the operations before it.
// KEST_MODEL_SEED=<n> replays a seed; KEST_MODEL_OPS=<n> changes the number of operations.

#include "Archive.h"
#include "ArchiveTestUtil.h"
#include "File.h"
#include "TestSupport.h"

#include <QMap>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

using namespace Kest::Ar;
using M = QIODevice;

namespace {

constexpr int DefaultOperations = 10000;

struct Node
{
    bool folder = false;
    QByteArray data;
    QStringList children; // in the order in which the archive lists them
};

QString parentOf(const QString& path)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    return slash == 0 ? QStringLiteral("/") : path.left(slash);
}

QString nameOf(const QString& path)
{
    return path.section(QLatin1Char('/'), -1);
}

class ModelRun
{
public:
    ModelRun(const QString& path, int blockSize, quint32 seed)
        : path_(path), blockSize_(blockSize), seed_(seed), random_(seed)
    {
        tree_.insert(QStringLiteral("/"), Node{true, {}, {}});
        persisted_ = tree_;
    }

    QMap<QString, int> counts; // operations run, by their first word; results refused

    // Runs the operations; returns an empty text on success, else what went wrong.
    QString run(int operations)
    {
        // Weighted choices of operation, with no member open and with one open.
        using R = ModelRun;
        static const QList<void (R::*)()> idle{
            &R::makeFolder, &R::makeFolder, &R::remove,    &R::remove,     &R::remove,
            &R::enter,      &R::enter,      &R::reopen,    &R::openMember, &R::openMember,
            &R::openMember, &R::openMember, &R::openMember};
        static const QList<void (R::*)()> open{
            &R::write,  &R::write, &R::write,       &R::write,       &R::seek,       &R::seek,
            &R::read,   &R::read,  &R::read,        &R::flush,       &R::truncate,   &R::makeFolder,
            &R::remove, &R::enter, &R::closeMember, &R::closeMember, &R::closeMember};
        archive_ = std::make_unique<Archive>(path_, unsigned(blockSize_));
        begin(QStringLiteral("create"));
        check(archive_->open(M::ReadWrite), QStringLiteral("open failed"));
        for (index_ = 0; index_ < operations && failure_.isEmpty(); ++index_) {
            const auto& ops = member_ ? open : idle;
            (this->*ops.at(pick(int(ops.size()))))();
            history_.append(QStringLiteral("%1: %2").arg(index_).arg(text_));
            if (history_.size() > 12)
                history_.removeFirst();
        }
        if (member_ && failure_.isEmpty())
            closeMember();
        if (failure_.isEmpty())
            reopenIn(false, M::ReadOnly);
        return failure_;
    }

private:
    void begin(const QString& text)
    {
        text_ = text;
        ++counts[text.section(QLatin1Char(' '), 0, 0)];
    }
    bool check(bool ok, const QString& detail)
    {
        if (!ok && failure_.isEmpty())
            failure_ = QString::asprintf(
                "seed %u, block size %d, operation %d (%s): %s\nbefore it:\n%s", seed_, blockSize_,
                index_, qPrintable(text_), qPrintable(detail), qPrintable(history_.join('\n')));
        return ok;
    }
    bool result(bool got, bool wanted)
    {
        counts[QStringLiteral("refused")] += !wanted;
        return check(got == wanted, QStringLiteral("returned %1").arg(got));
    }
    int pick(int n) { return int(random_.bounded(n)); }
    bool chance(int percent) { return pick(100) < percent; }
    QString pickFrom(const QStringList& list) { return list.at(pick(int(list.size()))); }
    QStringList paths(bool folders) const
    {
        QStringList result;
        for (auto it = tree_.cbegin(); it != tree_.cend(); ++it) {
            if (it->folder == folders)
                result << it.key();
        }
        return result;
    }
    // A new path in a random folder; names include the stored directory's own and "..".
    QString newPath()
    {
        const QString name = pickFrom({"a", "b", "c", "qel_dir", "..", "x y"});
        const QString folder = pickFrom(paths(true));
        return (folder == QLatin1String("/") ? QString() : folder) + QLatin1Char('/') + name;
    }
    qint64 length()
    {
        const int kind = pick(5);
        return kind == 0   ? pick(4)
               : kind == 1 ? blockSize_ - 1 + pick(3)
                           : pick(2 * blockSize_ + 2);
    }

    void makeFolder()
    {
        const QString path = chance(5) ? QStringLiteral("/nofolder/a") : newPath();
        begin(QStringLiteral("makeFolder ") + path);
        const bool ok = !tree_.contains(path) && tree_.value(parentOf(path)).folder;
        if (tree_.size() > 60 || path.count(QLatin1Char('/')) > 4)
            return;
        if (result(archive_->makeFolder(path), ok) && ok) {
            tree_[parentOf(path)].children.append(nameOf(path));
            tree_.insert(path, Node{true, {}, {}});
        }
    }

    // removeFolder or removeFile. Either takes a missing entry as removed; removeFolder refuses
    // a member, the root, the current folder and a folder with children, removeFile a folder
    // and the open member. Only removeFile writes the tree back.
    void remove()
    {
        const bool folders = chance(50);
        const QString path = chance(15) ? QStringLiteral("/gone") : pickFrom(tree_.keys());
        const Node node = tree_.value(path);
        const bool present = tree_.contains(path);
        begin(QString::fromLatin1(folders ? "removeFolder " : "removeFile ") + path);
        const bool ok = !present || (folders ? node.folder && node.children.isEmpty() &&
                                                   path != QLatin1String("/") && path != current_
                                             : !node.folder && !(member_ && path == memberPath_));
        if (!result(folders ? archive_->removeFolder(path) : archive_->removeFile(path), ok) ||
            !ok || !present)
            return;
        tree_[parentOf(path)].children.removeOne(nameOf(path));
        tree_.remove(path);
        if (!folders && !readOnly_)
            persisted_ = tree_;
        // The write-back moved the archive's position: the open member seeks to its own again.
        if (!folders && member_)
            check(member_->seek(member_->pos()), QStringLiteral("seek back failed"));
    }

    // Enters a folder (a member or a missing one is refused) and lists it.
    void enter()
    {
        const QString path = chance(15) ? QStringLiteral("/none") : pickFrom(tree_.keys());
        begin(QStringLiteral("setCurrentFolder ") + path);
        const bool ok = tree_.value(path).folder;
        if (!result(archive_->setCurrentFolder(path), ok) || !ok)
            return;
        current_ = path;
        check(archive_->currentFolder() == (path == QLatin1String("/") ? path : nameOf(path)) &&
                  archive_->list() == tree_.value(path).children,
              QStringLiteral("currentFolder() or list() differs"));
    }

    void reopen() { reopenIn(chance(50), chance(20) ? M::ReadOnly : M::ReadWrite); }

    // Closes the archive and opens it again, in place or in a new object (whose block size
    // does not matter), and compares everything with what was last written back.
    void reopenIn(bool newObject, M::OpenMode mode)
    {
        begin(QStringLiteral("reopen %1 %2").arg(newObject).arg(int(mode)));
        if (newObject)
            archive_ = std::make_unique<Archive>(path_, 4096);
        else
            archive_->close();
        if (!check(archive_->open(mode), QStringLiteral("open failed")))
            return;
        readOnly_ = mode == M::ReadOnly;
        tree_ = persisted_;
        current_ = QStringLiteral("/");
        check(archive_->blockSize() == unsigned(blockSize_) && archive_->currentFolder() == "/",
              QStringLiteral("not the constructed state"));
        // The test's own audit, and the library's consistency check, which must agree.
        const QStringList problems = KestTest::auditBlocks(*archive_) + archive_->check();
        check(problems.isEmpty(), problems.join(QStringLiteral("; ")));
        qint64 size = 0;
        for (auto it = tree_.cbegin(); it != tree_.cend() && failure_.isEmpty(); ++it) {
            size += it->data.size();
            if (!it->folder)
                check(KestTest::readMember(*archive_, it.key()) == it->data,
                      it.key() + QStringLiteral(" reads other bytes"));
            else
                check(archive_->setCurrentFolder(it.key()) && archive_->list() == it->children,
                      it.key() + QStringLiteral(" lists other entries"));
        }
        check(archive_->size() == size && archive_->setCurrentFolder(current_),
              QStringLiteral("size() is %1").arg(archive_->size()));
    }

    bool writable() const { return memberMode_ & M::WriteOnly; }

    void openMember()
    {
        static const QList<M::OpenMode> modes{
            M::WriteOnly, M::WriteOnly | M::Append, M::ReadWrite,           M::ReadWrite,
            M::ReadOnly,  M::ReadWrite | M::Append, M::ReadOnly | M::Append};
        const M::OpenMode mode =
            modes.at(pick(int(modes.size()))) | (chance(50) ? M::Unbuffered : M::NotOpen);
        const QStringList members = paths(false);
        const QString path = !members.isEmpty() && chance(65) ? pickFrom(members) : newPath();
        const bool exists = tree_.contains(path);
        begin(QStringLiteral("open %1 in mode %2").arg(path).arg(int(mode)));
        if (!exists && members.size() > 40)
            return;
        auto file = std::make_unique<File>(archive_.get(), path);
        const bool ok = !tree_.value(path).folder && !(readOnly_ && (mode & M::WriteOnly)) &&
                        (exists || !(mode & M::ReadOnly));
        if (!result(file->open(mode), ok) || !ok)
            return;
        if (!exists) {
            tree_[parentOf(path)].children.append(nameOf(path));
            tree_.insert(path, Node{});
        }
        member_ = std::move(file);
        memberPath_ = path;
        memberMode_ = mode;
        memberData_ = mode & (M::ReadOnly | M::Append) ? tree_.value(path).data : QByteArray();
        checkMember(mode & M::Append ? memberData_.size() : 0);
    }

    bool checkMember(qint64 pos)
    {
        return check(member_->size() == memberData_.size() && member_->pos() == pos,
                     QStringLiteral("size %1 at %2").arg(member_->size()).arg(member_->pos()));
    }

    // Seeks in range, or now and then out of range, which is refused and does not move.
    void seek()
    {
        const qint64 at = member_->pos();
        const qint64 size = memberData_.size();
        const int kind = pick(8);
        const qint64 to = kind == 0   ? -1 - pick(3)
                          : kind == 1 ? size + 1 + pick(3)
                                      : pick(int(size) + 1);
        begin(QStringLiteral("seek %1").arg(to));
        if (result(member_->seek(to), kind > 1))
            checkMember(kind > 1 ? to : at);
    }

    void write()
    {
        if (!writable())
            return read();
        if (chance(40))
            seek();
        const qint64 at = member_->pos();
        const qint64 n = qMax<qint64>(0, qMin(length(), 12 * qint64(blockSize_) - at));
        begin(QStringLiteral("write %1 at %2").arg(n).arg(at));
        const QByteArray bytes = KestTest::patternBytes(n, seed_ + quint32(index_));
        if (!check(member_->write(bytes) == n, QStringLiteral("short write")))
            return;
        memberData_.resize(qMax(memberData_.size(), at + n));
        memberData_.replace(at, n, bytes);
        checkMember(at + n);
    }

    void read()
    {
        if (!(memberMode_ & M::ReadOnly))
            return write();
        if (chance(40))
            seek();
        const qint64 at = member_->pos();
        const qint64 n = length();
        begin(QStringLiteral("read %1 at %2").arg(n).arg(at));
        const QByteArray expected = memberData_.mid(at, n);
        if (check(member_->read(n) == expected, QStringLiteral("read other bytes")))
            checkMember(at + expected.size());
    }

    void truncate()
    {
        if (chance(50))
            seek();
        const qint64 at = member_->pos();
        begin(QStringLiteral("truncate at %1").arg(at));
        if (result(member_->truncate(), writable()) && writable())
            memberData_.truncate(at);
        checkMember(at);
    }

    // What the model records as written back does not change: a writable member's flush is
    // superseded by its close.
    void flush()
    {
        begin(QStringLiteral("flush"));
        const qint64 at = member_->pos();
        member_->flush();
        checkMember(at);
    }

    // Closing a writable member writes the whole tree back.
    void closeMember()
    {
        begin(QStringLiteral("close ") + memberPath_);
        member_->close();
        member_.reset();
        if (!writable())
            return;
        tree_[memberPath_].data = memberData_;
        if (!readOnly_)
            persisted_ = tree_;
    }

    const QString path_;
    const int blockSize_;
    const quint32 seed_;
    QRandomGenerator random_;
    QMap<QString, Node> tree_, persisted_; // now, and as last written back
    QString current_ = QStringLiteral("/");
    bool readOnly_ = false;
    std::unique_ptr<Archive> archive_;
    std::unique_ptr<File> member_;
    QString memberPath_;
    M::OpenMode memberMode_;
    QByteArray memberData_;
    int index_ = -1;
    QString text_;
    QStringList history_;
    QString failure_;
};

} // namespace

class tst_Model : public QObject
{
    Q_OBJECT

private slots:
    void randomOperations()
    {
        bool fixed = false;
        const quint32 chosen = qEnvironmentVariable("KEST_MODEL_SEED").toUInt(&fixed);
        const int given = qEnvironmentVariableIntValue("KEST_MODEL_OPS");
        const int operations = given > 0 ? given : DefaultOperations;
        QTemporaryDir dir;
        QVERIFY(dir.isValid());
        for (int blockSize : {64, 512, 4096}) {
            ModelRun run(dir.filePath(QString::number(blockSize)), blockSize,
                         fixed ? chosen : 0x5EED0000u + quint32(blockSize));
            // The archive's debug messages are many and expected; they are not compared here.
            const QtMessageHandler previous =
                qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
            const QString failure = run.run(operations);
            qInstallMessageHandler(previous);
            QVERIFY2(failure.isEmpty(), qPrintable(failure));
            // The run did what it is meant to: every kind of operation, many times over.
            for (const char* op :
                 {"write", "read", "seek", "truncate", "flush", "close", "open", "reopen",
                  "makeFolder", "removeFolder", "removeFile", "setCurrentFolder", "refused"})
                QVERIFY2(operations < DefaultOperations || run.counts.value(op) >= 50, op);
        }
    }
};

QTEST_GUILESS_MAIN(tst_Model)
#include "tst_model.moc"
