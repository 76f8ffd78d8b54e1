// Random operations on an archive, through its public API, and on a model of it, with up to three
// member files open at once and their transfers interleaved. Every result and refusal (with its
// error code) is compared with the model; after each reopen, the whole tree, every member and
// check() too. KEST_MODEL_SEED=<n> replays a seed; KEST_MODEL_OPS=<n> sets the operations a run.

#include "Archive.h"
#include "File.h"
#include "TestSupport.h"

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

// The tree operations by kind, then the others and the refusals by error code: each runs often.
constexpr char Seen[] =
    "makeFolder removeFolder removeFile entryInfo entries setCurrentFolder "
    "writeBack read write seek truncate flush close open shared long reopen 1 2 3 4 5 6 8 9";

struct Node
{
    bool folder = false;
    QByteArray data; // as the member's entry records it: as of its last write-back
    QStringList children;
};

struct OpenMember
{
    std::unique_ptr<File> file;
    QString path;
    bool reading, writing;
    QByteArray data; // the bytes it must show
};

struct Target : Node // a path as given, and what it names in the model
{
    QString given, path;
    E error = E::NoError;
    bool there = false;
    int readers = 0, writers = 0; // of the member
};

} // namespace

class tst_Model : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QLoggingCategory::setFilterRules("kest.archive.debug=false"); }

    void randomOperations()
    {
        const QByteArray seed = qgetenv("KEST_MODEL_SEED");
        const int ops = qEnvironmentVariableIntValue("KEST_MODEL_OPS"), end = ops > 0 ? ops : 20000;
        for (blockSize_ = 64; blockSize_ <= 4096; blockSize_ *= 8) {
            archive_.reset(new Archive(dir_.filePath(QString::number(blockSize_)), blockSize_));
            random_.seed(seed_ = seed.isEmpty() ? 0x5EED0000u + blockSize_ : seed.toUInt());
            tree_ = {{"/", Node{true, {}, {}}}};
            counts_.clear();
            for (index_ = -1; index_ <= end; ++index_) {
                const int kind = pick(30);
                if (index_ < 0 || index_ == end) // creates it; at the end, a last look
                    reopen(index_ < 0 ? M::ReadWrite : M::ReadOnly, false);
                else if ((readOnly_ && chance(25)) || kind == 10)
                    reopen(kind == 10 && chance(20) ? M::ReadOnly : M::ReadWrite, chance(40));
                else if (kind < 10)
                    treeOp();
                else if ((kind < 15 || open_.empty()) && open_.size() < 3)
                    openFile();
                else
                    fileOp(open_[pick(open_.size())]);
                QVERIFY2(failure_.isEmpty(), qPrintable(failure_));
            }
            for (const QString& op : QString(Seen).split(' '))
                QVERIFY2(ops > 0 || counts_.value(op) >= 10, qPrintable(op));
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
    int pick(qint64 n) { return int(random_.bounded(n)); }
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
    bool check(const QStringList& list) { return check(list.isEmpty(), list.join("; ")); }
    // The result and the error code it left (the file's, else the archive's) as foreseen.
    bool expect(bool got, E wanted, const File* file = nullptr)
    {
        const E error = file ? file->error() : archive_->error();
        counts_[QString::number(int(wanted))] += wanted != E::NoError;
        const bool same = got == (wanted == E::NoError) && error == wanted;
        return check(same, QString::asprintf("error %d, not %d", int(error), int(wanted))) && got;
    }
    bool checkFile(const OpenMember& m, qint64 pos)
    {
        return check(m.file->size() == m.data.size() && m.file->pos() == pos,
                     QString::asprintf("size %lld at %lld", m.file->size(), m.file->pos()));
    }

    // An entry (a member, for preference) or, while the tree is small, a new name in a folder, a
    // member or a missing folder; now and then relative: the current folder's entry of its last
    // component. Names include ".." and the directory stream's (not as a whole relative path).
    Target target(bool member, QString path = {})
    {
        const int kind = path.isEmpty() && tree_.size() < 80 ? pick(20) : 20;
        for (int i = 0; path.isEmpty() || (member && i < 8 && tree_.value(path).folder); ++i)
            path = pickFrom(tree_.keys());
        const QString name = pickFrom({"a", "b", "c", "qel_dir", "..", "x y"});
        path = kind < 8 ? join(kind == 0 ? "/none" : kind < 3 ? current_ : path, name) : path;
        Target t{{tree_.value(path)}, path, path, E::NoError, tree_.contains(path), 0, 0};
        for (const OpenMember& m : open_)
            (m.writing ? t.writers : t.readers) += m.path == path;
        if (path != "/" && parentOf(path) == current_ && nameOf(path) != "qel_dir" && chance(30))
            t.given = (chance(30) ? "none/" : "") + nameOf(path);
        if (path != "/" && !tree_.value(parentOf(path)).folder)
            t.error = tree_.contains(parentOf(path)) ? E::NotAFolder : E::NotFound;
        return t;
    }
    qint64 sizeOf(const QString& path) const
    {
        qint64 size = 0;
        for (auto it = tree_.cbegin(); it != tree_.cend(); ++it)
            size += it.key() == path || it.key().startsWith(join(path, "")) ? it->data.size() : 0;
        return size;
    }
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
    // A commit records what the open members hold in their entries (a reader's is its entry's).
    void committed()
    {
        for (const OpenMember& m : open_)
            tree_[m.path].data = m.data;
    }

    // An operation on the tree, or a write-back. A missing entry counts as removed.
    void treeOp()
    {
        const int kind = pick(7);
        const Target t = target(kind == 2);
        const E walk = t.error, asWriter = readOnly_ ? E::ReadOnly : walk;
        const E asFolder = firstOf(
            {{walk != E::NoError, walk}, {!t.there, E::NotFound}, {!t.folder, E::NotAFolder}});
        begin(QString(Seen).section(' ', kind, kind) + ' ' + t.given);
        if (kind == 0 && t.path.count('/') < 5 &&
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
                                {folder != t.folder, folder ? E::NotAFolder : E::NotAFile},
                                {!t.children.isEmpty(), E::NotEmpty},
                                {t.path == current_ || t.readers + t.writers > 0, E::InUse}})) &&
                t.there) {
                tree_[parentOf(t.path)].children.removeOne(nameOf(t.path));
                tree_.remove(t.path);
                if (!folder)
                    committed();
            }
        } else if (kind == 3) {
            const Archive::EntryInfo info = archive_->entryInfo(t.given);
            if (expect(!info.name.isEmpty(), t.there ? E::NoError : E::NotFound))
                check(describe(info) == describe({nameOf(t.path), t.folder, sizeOf(t.path)}),
                      describe(info));
        } else if (kind == 4) {
            compareEntries(t.given, t.path, asFolder);
        } else if (kind == 5 && expect(archive_->setCurrentFolder(t.given), asFolder)) {
            check(archive_->currentFolder() == nameOf(current_ = t.path), "currentFolder()");
            check(archive_->list() == t.children, "list()");
        } else if (kind == 6) {
            if (expect(archive_->writeBack(), readOnly_ ? E::ReadOnly : E::NoError))
                committed();
            check(archive_->check());
        }
    }

    // A writer has its member alone; readers share one. New paths mostly get writers.
    void openFile()
    {
        const M::OpenModeFlag modes[] = {M::WriteOnly, M::ReadWrite, M::ReadOnly, M::ReadOnly};
        const M::OpenMode extras[] = {{}, M::Append, M::Unbuffered, M::Append | M::Unbuffered};
        const bool again = !open_.empty() && chance(25); // another opener of an open member
        const Target t = target(true, again ? open_[pick(open_.size())].path : QString());
        const M::OpenMode mode = modes[pick(t.there || chance(10) ? 4 : 1)] | extras[pick(4)];
        const bool reading = mode & M::ReadOnly, writing = mode & M::WriteOnly;
        begin(QStringLiteral("open %1 in mode %2").arg(t.given).arg(int(mode)));
        auto file = std::make_unique<File>(archive_.get(), t.given);
        if (!expect(file->open(mode),
                    firstOf({{writing && readOnly_, E::ReadOnly},
                             {reading && !t.there, E::NotFound},
                             {t.error != E::NoError, t.error},
                             {t.folder, E::NotAFile},
                             {t.writers + (writing ? t.readers : 0) > 0, E::InUse}}),
                    file.get()))
            return;
        counts_["shared"] += t.readers + t.writers > 0;
        if (!t.there)
            tree_[parentOf(t.path)].children << nameOf(t.path);
        tree_.insert(t.path, t);
        const QByteArray data = mode & (M::ReadOnly | M::Append) ? t.data : QByteArray();
        open_.push_back({std::move(file), t.path, reading, writing, data});
        checkFile(open_.back(), mode & M::Append ? data.size() : 0);
    }

    // A seek (at times out of range), a read or write of some length, truncate(), flush(), close().
    void fileOp(OpenMember& m)
    {
        const qint64 kind = pick(20), size = m.data.size(), at = m.file->pos(), b = blockSize_;
        const qint64 length = chance(5)      ? pick(40 * b)
                              : kind % 5 > 1 ? pick(2 * b + 2)
                              : kind % 5     ? b - 1 + pick(3)
                                             : pick(4);
        if (kind < 16 && kind % 3 == 0) {
            const qint64 to = kind > 3 ? pick(size + 1) : kind ? size + 1 + pick(3) : -1 - pick(3);
            begin(QStringLiteral("seek %1 to %2").arg(m.path).arg(to));
            expect(m.file->seek(to), kind > 3 ? E::NoError : E::InvalidArgument, m.file.get());
            checkFile(m, kind > 3 ? to : at);
        } else if (kind < 16 && m.reading && (!m.writing || chance(40))) {
            begin(QStringLiteral("read %1 bytes of %2 at %3").arg(length).arg(m.path).arg(at));
            if (check(m.file->read(length) == m.data.mid(at, length), "read other bytes"))
                checkFile(m, at + m.data.mid(at, length).size());
        } else if (kind < 16) {
            const qint64 n = qMax<qint64>(0, qMin(length, 64 * b - at));
            begin(QStringLiteral("write %1 bytes to %2 at %3").arg(n).arg(m.path).arg(at));
            counts_["long"] += at + n > 16 * b; // chains of many runs, which seeks cross
            const QByteArray bytes = KestTest::patternBytes(n, seed_ + quint32(index_));
            m.data = m.data.leftJustified(at + n, '\0').replace(at, n, bytes);
            if (check(m.file->write(bytes) == n, "short write"))
                checkFile(m, at + n);
        } else if (kind < 19) {
            const bool cut = kind < 18;
            begin(QStringLiteral("%1 %2 at %3").arg(cut ? "truncate" : "flush", m.path).arg(at));
            if (expect(cut ? m.file->truncate() : m.file->flush(),
                       m.writing ? E::NoError : E::InvalidArgument, m.file.get())) {
                m.data.truncate(cut ? at : size);
                committed();
                check(!cut || !m.reading || m.file->read(9).isEmpty(), "read past it");
            }
            checkFile(m, at);
        } else {
            begin("close " + m.path);
            m.file->close();
            check(!m.file->isOpen() && m.file->error() == E::NoError, m.file->errorString());
            if (m.writing)
                committed();
            open_.erase(open_.begin() + (&m - open_.data()));
        }
    }

    // Closes or destroys the archive (either closes the open members first; an existing archive
    // keeps its own block size), opens it again and compares everything with the model.
    void reopen(M::OpenMode mode, bool destroy)
    {
        begin(QString("reopen %1 %2").arg(destroy ? "destroyed" : "closed").arg(int(mode)));
        committed();
        destroy ? archive_.reset(new Archive(archive_->name(), 4096)) : archive_->close();
        open_.clear();
        archive_->setDurability(Archive::Durability::CrashSafe); // journalled, without syncs
        check(archive_->open(mode), "open: " + archive_->errorString());
        readOnly_ = mode == M::ReadOnly;
        current_ = "/";
        check(archive_->check());
        check(archive_->size() == sizeOf("/"), QString::asprintf("size %lld", archive_->size()));
        for (auto it = tree_.cbegin(); it != tree_.cend(); ++it) {
            if (it->folder)
                compareEntries(it.key(), it.key(), E::NoError);
            else
                check(KestTest::readMember(*archive_, it.key()) == it->data, it.key() + " differs");
        }
    }

    int blockSize_ = 0, index_ = -1;
    quint32 seed_ = 0;
    bool readOnly_ = false;
    QRandomGenerator random_;
    QMap<QString, Node> tree_;
    QString current_, text_, failure_;
    QTemporaryDir dir_;
    std::unique_ptr<Archive> archive_; // closed before dir_ goes
    std::vector<OpenMember> open_;
    QMap<QString, int> counts_; // operations run by their first word, and refusals by code
};

QTEST_GUILESS_MAIN(tst_Model)
#include "tst_model.moc"
