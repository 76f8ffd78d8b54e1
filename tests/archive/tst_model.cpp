// Random operations on an archive, through its public API, and on a model of it, with up to
// three member files open at once and their transfers interleaved. Every result and refusal
// (with its error code) is compared with the model; after each reopen the whole tree and every
// member are compared too, and check() must find nothing. KEST_MODEL_SEED=<n> replays the seed
// that a failure names; KEST_MODEL_OPS=<n> changes the number of operations.

#include "Archive.h"
#include "File.h"
#include "TestSupport.h"

#include <QFile>
#include <QLoggingCategory>
#include <QMap>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTest>

#include <algorithm>
#include <memory>
#include <vector>

using namespace Kest::Ar;
using M = QIODevice;
using E = Archive::Error;

namespace {

constexpr int DefaultOperations = 20000;
constexpr char TreeOps[] =
    "makeFolder removeFolder removeFile entryInfo entries setCurrentFolder writeBack";

struct Node
{
    bool folder = false;
    QByteArray data; // as the member's entry records it: as of its last write-back
    QStringList children;
};

// A member file the test holds open, and the bytes it must show.
struct OpenMember
{
    std::unique_ptr<File> file;
    QString path;
    M::OpenMode mode;
    QByteArray data;
};

// A path as given, and what it names in the model: the failure on the way, or an entry.
struct Target
{
    QString given, path;
    E error = E::NoError;
    bool there = false;
    Node node;
};

} // namespace

class tst_Model : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules("kest.archive.debug=false"); }

    void randomOperations()
    {
        bool fixed = false;
        const quint32 seed = qEnvironmentVariable("KEST_MODEL_SEED").toUInt(&fixed);
        const int given = qEnvironmentVariableIntValue("KEST_MODEL_OPS");
        for (const int blockSize : {64, 512, 4096}) {
            QTemporaryDir dir;
            path_ = dir.filePath("model.kar");
            random_.seed(seed_ = fixed ? seed : 0x5EED0000u + blockSize);
            blockSize_ = blockSize;
            tree_ = {{"/", Node{true, {}, {}}}};
            current_ = "/";
            readOnly_ = false;
            counts_.clear();
            index_ = -1;
            reopen(M::ReadWrite, true); // creates it
            for (index_ = 0; index_ < (given > 0 ? given : DefaultOperations); ++index_) {
                const int kind = pick(30);
                if (readOnly_ && --readOnlyOps_ < 0)
                    reopen(M::ReadWrite, chance(40));
                else if (kind < 10)
                    treeOp();
                else if (kind == 10)
                    reopen(chance(20) ? M::ReadOnly : M::ReadWrite, chance(40));
                else if (kind < 15 || open_.empty())
                    openFile();
                else
                    fileOp(open_[pick(int(open_.size()))]);
                QVERIFY2(failure_.isEmpty(), qPrintable(failure_));
            }
            reopen(M::ReadOnly, false);
            QVERIFY2(failure_.isEmpty(), qPrintable(failure_));
            archive_.reset();
            // The run did what it is meant to: every kind of operation and of refusal (by
            // error code), many times.
            const QString expected = "read write seek truncate flush close open shared reopen "
                                     "makeFolder removeFolder removeFile setCurrentFolder "
                                     "entryInfo entries writeBack 1 2 3 4 5 6 8 9";
            for (const QString& op : expected.split(' '))
                QVERIFY2(given > 0 || counts_.value(op) >= 10, qPrintable(op));
        }
    }

private:
    static E firstOf(std::initializer_list<std::pair<bool, E>> rules) // the first that holds
    {
        const auto* rule = std::find_if(rules.begin(), rules.end(), [](auto r) { return r.first; });
        return rule == rules.end() ? E::NoError : rule->second;
    }
    static QString join(QString f, QString n) { return (f == "/" ? "" : f) + '/' + n; }
    static QString parentOf(QString p) { return p.lastIndexOf('/') ? p.section('/', 0, -2) : "/"; }
    static QString nameOf(const QString& p) { return p == "/" ? p : p.section('/', -1); }
    static QString describe(const Archive::EntryInfo& i)
    {
        return QStringLiteral("%1 %2 %3").arg(i.name).arg(int(i.isFolder)).arg(i.size);
    }
    static bool writable(const OpenMember& m) { return m.mode & M::WriteOnly; }
    int pick(int n) { return int(random_.bounded(n)); }
    bool chance(int percent) { return pick(100) < percent; }
    QString pickFrom(const QStringList& list) { return list.at(pick(int(list.size()))); }
    void begin(const QString& text) { ++counts_[(text_ = text).section(' ', 0, 0)]; }

    bool check(bool ok, const QString& detail)
    {
        if (!ok && failure_.isEmpty())
            failure_ = QString::asprintf("seed %u, block size %d, operation %d (%s): %s", seed_,
                                         blockSize_, index_, qPrintable(text_), qPrintable(detail));
        return ok;
    }
    // Compares a result, and the error code it left (the member file's, else the archive's),
    // with the foreseen one; true for a success foreseen.
    bool expect(bool got, E wanted, const File* file = nullptr)
    {
        const E error = file ? file->error() : archive_->error();
        counts_[QString::number(int(wanted))] += wanted != E::NoError;
        const bool same = got == (wanted == E::NoError) && error == wanted;
        return check(same, QString::asprintf("error %d, not %d", int(error), int(wanted))) && got;
    }

    // An existing entry (a member, for preference), or a new name in a folder, in a member or
    // in a missing folder: absolute or, now and then, relative, which names an entry of the
    // current folder by its last component alone. Names include the directory stream's own
    // and ".."; as a whole relative path, "qel_dir" names the stream, and is left out.
    Target target(bool member, QString path = {})
    {
        const int kind = path.isEmpty() ? pick(20) : 20;
        for (int i = 0; path.isEmpty() || (member && i < 8 && tree_.value(path).folder); ++i)
            path = pickFrom(tree_.keys());
        const QString name = pickFrom({"a", "b", "c", "qel_dir", "..", "x y"});
        path = kind < 8 ? join(kind == 0 ? "/none" : kind < 3 ? current_ : path, name) : path;
        Target t{path, path, E::NoError, false, {}};
        if (path != "/" && parentOf(path) == current_ && nameOf(path) != "qel_dir" && chance(30))
            t.given = (chance(30) ? "none/" : "") + nameOf(path);
        if (path != "/" && !tree_.value(parentOf(path)).folder)
            t.error = tree_.contains(parentOf(path)) ? E::NotAFolder : E::NotFound;
        t.path = t.error == E::NoError ? path : QString();
        t.there = tree_.contains(t.path);
        t.node = tree_.value(t.path);
        return t;
    }
    bool isOpen(const QString& path, bool writersOnly) const
    {
        return std::any_of(open_.cbegin(), open_.cend(), [&](const OpenMember& m) {
            return m.path == path && (writable(m) || !writersOnly);
        });
    }
    qint64 sizeOf(const QString& path) const
    {
        qint64 size = 0;
        for (auto it = tree_.cbegin(); it != tree_.cend(); ++it)
            size += it.key() == path || it.key().startsWith(join(path, "")) ? it->data.size() : 0;
        return size;
    }
    // entries() of a folder against the model's: names in order, kinds, sizes written back.
    void compareEntries(const QString& given, const QString& folder, E wanted)
    {
        QStringList got, infos;
        for (const Archive::EntryInfo& info : archive_->entries(given))
            got << describe(info);
        for (const QString& name : tree_.value(folder).children)
            infos << describe({name, tree_[join(folder, name)].folder, sizeOf(join(folder, name))});
        if (expect(archive_->error() == E::NoError, wanted))
            check(got == infos, folder + " lists " + got.join(", "));
    }

    // An operation on the tree, or a write-back. A missing entry counts as removed.
    void treeOp()
    {
        const int kind = pick(7);
        const Target t = target(kind == 2);
        const E walk = t.error, asWriter = readOnly_ ? E::ReadOnly : walk;
        const E asFolder = firstOf(
            {{walk != E::NoError, walk}, {!t.there, E::NotFound}, {!t.node.folder, E::NotAFolder}});
        begin(QString(TreeOps).section(' ', kind, kind) + ' ' + t.given);
        if (kind == 0 && tree_.size() < 80 && t.path.count('/') < 5 &&
            expect(archive_->makeFolder(t.given),
                   firstOf({{asWriter != E::NoError, asWriter}, {t.there, E::AlreadyExists}}))) {
            tree_[parentOf(t.path)].children << nameOf(t.path);
            tree_.insert(t.path, Node{true, {}, {}});
        } else if (kind == 1 || kind == 2) {
            const bool folder = kind == 1;
            if (expect(folder ? archive_->removeFolder(t.given) : archive_->removeFile(t.given),
                       firstOf({{asWriter != E::NoError, asWriter},
                                {folder && t.path == "/", E::InvalidArgument},
                                {!t.there, E::NoError},
                                {folder != t.node.folder, folder ? E::NotAFolder : E::NotAFile},
                                {!t.node.children.isEmpty(), E::NotEmpty},
                                {t.path == current_ || isOpen(t.path, false), E::InUse}})) &&
                t.there) {
                tree_[parentOf(t.path)].children.removeOne(nameOf(t.path));
                tree_.remove(t.path);
                if (!folder)
                    committed();
            }
        } else if (kind == 3) {
            const Archive::EntryInfo info = archive_->entryInfo(t.given);
            if (expect(!info.name.isEmpty(), t.there ? E::NoError : E::NotFound))
                check(describe(info) == describe({nameOf(t.path), t.node.folder, sizeOf(t.path)}),
                      describe(info));
        } else if (kind == 4) {
            compareEntries(t.given, t.path, asFolder);
        } else if (kind == 5 && expect(archive_->setCurrentFolder(t.given), asFolder)) {
            check(archive_->currentFolder() == nameOf(current_ = t.path) &&
                      archive_->list() == t.node.children,
                  "currentFolder() or list() differs");
        } else if (kind == 6) {
            if (expect(archive_->writeBack(), readOnly_ ? E::ReadOnly : E::NoError))
                committed();
            const QStringList problems = archive_->check();
            check(problems.isEmpty(), problems.join("; "));
        }
    }

    // Every commit records in their entries what the members open for writing hold so far.
    void committed()
    {
        for (const OpenMember& m : open_) {
            if (writable(m))
                tree_[m.path].data = m.data;
        }
    }

    // A writer has its member alone; readers share one. Reading needs an existing member.
    void openFile()
    {
        static const QList<M::OpenMode> modes{
            M::WriteOnly, M::WriteOnly | M::Append, M::ReadWrite, M::ReadWrite | M::Append,
            M::ReadOnly,  M::ReadOnly | M::Append,  M::ReadOnly};
        const bool again = !open_.empty() && chance(25); // another opener of an open member
        const Target t = target(true, again ? open_[pick(int(open_.size()))].path : QString());
        // Mostly writers for paths that may be new, so that members get made.
        const M::OpenMode mode =
            modes.at(pick(t.there ? 7 : 2)) | (chance(50) ? M::Unbuffered : M::NotOpen);
        const bool reading = mode & M::ReadOnly, writing = mode & M::WriteOnly;
        if (open_.size() >= 3 || (!t.there && tree_.size() > 80))
            return;
        begin(QStringLiteral("open %1 in mode %2").arg(t.given).arg(int(mode)));
        auto file = std::make_unique<File>(archive_.get(), t.given);
        if (!expect(file->open(mode),
                    firstOf({{writing && readOnly_, E::ReadOnly},
                             {reading && !t.there, E::NotFound},
                             {t.error != E::NoError, t.error},
                             {t.node.folder, E::NotAFile},
                             {isOpen(t.path, !writing), E::InUse}}),
                    file.get()))
            return;
        counts_["shared"] += isOpen(t.path, false);
        if (!t.there) {
            tree_[parentOf(t.path)].children << nameOf(t.path);
            tree_.insert(t.path, Node{});
        }
        const QByteArray data = mode & (M::ReadOnly | M::Append) ? t.node.data : QByteArray();
        open_.push_back({std::move(file), t.path, mode, data});
        checkFile(open_.back(), mode & M::Append ? data.size() : 0);
    }

    bool checkFile(const OpenMember& m, qint64 pos)
    {
        return check(m.file->size() == m.data.size() && m.file->pos() == pos,
                     QString::asprintf("size %lld at %lld", m.file->size(), m.file->pos()));
    }

    // On an open member file: a read or a write (of a few bytes, about a block or up to two,
    // up to twelve blocks into the member) at the position or after a seek, which now and then
    // is out of range, refused, and does not move; a truncate() or a flush(), either writing
    // the member's entry back and refused to a reader; or a close().
    void fileOp(OpenMember& m)
    {
        const int kind = pick(20), size = int(m.data.size());
        const qint64 at = m.file->pos(), length = kind % 5 == 0   ? pick(4)
                                                  : kind % 5 == 1 ? blockSize_ - 1 + pick(3)
                                                                  : pick(2 * blockSize_ + 2);
        if (kind < 16 && kind % 3 == 0) {
            const int seek = pick(8);
            const qint64 to = seek == 0   ? -1 - pick(3)
                              : seek == 1 ? size + 1 + pick(3)
                                          : pick(size + 1);
            begin(QStringLiteral("seek %1 to %2").arg(m.path).arg(to));
            expect(m.file->seek(to), seek > 1 ? E::NoError : E::InvalidArgument, m.file.get());
            checkFile(m, seek > 1 ? to : at);
        } else if (kind < 16 && (m.mode & M::ReadOnly) && (!writable(m) || chance(40))) {
            begin(QStringLiteral("read %1 bytes of %2 at %3").arg(length).arg(m.path).arg(at));
            if (check(m.file->read(length) == m.data.mid(at, length), "read other bytes"))
                checkFile(m, at + m.data.mid(at, length).size());
        } else if (kind < 16) {
            const qint64 n = qMax<qint64>(0, qMin(length, 12 * qint64(blockSize_) - at));
            begin(QStringLiteral("write %1 bytes to %2 at %3").arg(n).arg(m.path).arg(at));
            const QByteArray bytes = KestTest::patternBytes(n, seed_ + quint32(index_));
            m.data = m.data.leftJustified(at + n, '\0').replace(at, n, bytes);
            if (check(m.file->write(bytes) == n, "short write"))
                checkFile(m, at + n);
        } else if (kind < 19) {
            const bool cut = kind < 18;
            begin(QStringLiteral("%1 %2 at %3").arg(cut ? "truncate" : "flush", m.path).arg(at));
            if (expect(cut ? m.file->truncate() : m.file->flush(),
                       writable(m) ? E::NoError : E::InvalidArgument, m.file.get())) {
                m.data = cut ? m.data.left(at) : m.data;
                committed();
                check(!cut || !(m.mode & M::ReadOnly) || m.file->read(9).isEmpty(), "read past it");
            }
            checkFile(m, at);
        } else {
            begin("close " + m.path);
            m.file->close();
            check(!m.file->isOpen() && m.file->error() == E::NoError, m.file->errorString());
            if (writable(m))
                committed();
            open_.erase(open_.begin() + (&m - open_.data()));
        }
    }

    // Closes or destroys the archive with whatever member files are open (either closes them,
    // writing them back, first), opens it again and compares everything with the model.
    void reopen(M::OpenMode mode, bool destroy)
    {
        begin(QString("reopen %1 %2").arg(destroy ? "destroyed" : "closed").arg(int(mode)));
        committed();
        destroy ? archive_.reset() : archive_->close();
        open_.clear();
        if (destroy) { // an existing archive keeps its own block size
            archive_ = std::make_unique<Archive>(path_, QFile::exists(path_) ? 4096 : blockSize_);
            archive_->setDurability(Archive::Durability::CrashSafe); // journalled, without syncs
        }
        if (!check(archive_->open(mode), "open: " + archive_->errorString()))
            return;
        readOnly_ = mode == M::ReadOnly;
        readOnlyOps_ = 2 + pick(8);
        current_ = "/";
        const QStringList problems = archive_->check();
        check(problems.isEmpty() && archive_->size() == sizeOf("/"),
              problems.join("; ") + QString::asprintf(" (size %lld)", archive_->size()));
        for (auto it = tree_.cbegin(); it != tree_.cend(); ++it) {
            if (it->folder)
                compareEntries(it.key(), it.key(), E::NoError);
            else
                check(KestTest::readMember(*archive_, it.key()) == it->data, it.key() + " differs");
        }
    }

    QString path_;
    int blockSize_ = 0;
    quint32 seed_ = 0;
    QRandomGenerator random_;
    QMap<QString, Node> tree_;
    QString current_;
    bool readOnly_ = false;
    int readOnlyOps_ = 0;
    std::unique_ptr<Archive> archive_;
    std::vector<OpenMember> open_;
    int index_ = -1;
    QString text_ = "create";
    QString failure_;
    QMap<QString, int> counts_; // operations run by their first word, and refusals by code
};

QTEST_GUILESS_MAIN(tst_Model)
#include "tst_model.moc"
