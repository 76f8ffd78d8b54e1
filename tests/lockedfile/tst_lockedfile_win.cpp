// The locked file's side of the Windows mechanism (qtlockedfile_win.cpp), built here against a
// stand-in for its Win32 side, NamedMutexLock, whose real self runs under Wine across processes
// in tst_lockedfile_wine. What is checked is what only this side does: the path the mutexes are
// named after, the lock modes it hands on, and how the mechanism's messages reach Qt.
#include "qtlockedfile.h"

#include <QtTest>

#include <optional>
#include <utility>

using Kest::NamedMutexLock;
using Kest::QtLockedFile;

namespace {

// What the stand-in was asked, and what it answers.
struct
{
    QStringList calls;
    bool grant = true;
    std::optional<std::pair<NamedMutexLock::MessageKind, const char*>> message;
} mechanism;

const char* modeName(NamedMutexLock::Mode mode)
{
    return mode == NamedMutexLock::Mode::Read ? "r" : "w";
}

} // namespace

NamedMutexLock::NamedMutexLock(Reporter reporter) : report(reporter)
{
}

NamedMutexLock::~NamedMutexLock() = default;

bool NamedMutexLock::isNamed() const
{
    return !mutexname.empty();
}

void NamedMutexLock::setName(const std::wstring& path)
{
    mutexname = path;
    mechanism.calls << "name " + QString::fromStdWString(path);
}

bool NamedMutexLock::acquire(Mode mode, bool block)
{
    mechanism.calls << QStringLiteral("acquire %1 %2").arg(modeName(mode), block ? "wait" : "try");
    if (mechanism.message)
        report(mechanism.message->first, mechanism.message->second);
    return mechanism.grant;
}

void NamedMutexLock::release(Mode mode)
{
    mechanism.calls << QStringLiteral("release %1").arg(modeName(mode));
}

class TestLockedFileWin : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

    // The calls made since the last look.
    static QStringList calls() { return std::exchange(mechanism.calls, {}); }

private slots:
    void initTestCase() { QVERIFY(dir.isValid() && QDir::setCurrent(dir.path())); }

    void init()
    {
        QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
        mechanism = {};
    }

    // Named once, on the first lock, after the absolute path in lower case: an object on the
    // path spelt in other letter case names the same mutexes, and a file given another name
    // later keeps the lock of the path it had.
    void mutexesNamedAfterPathOnce()
    {
        const QString name = "name " + dir.filePath(QStringLiteral("locked.qel")).toLower();
        QtLockedFile file(QStringLiteral("Locked.QEL"));
        QVERIFY(file.open(QIODevice::ReadWrite));
        QCOMPARE(calls(), QStringList());
        QVERIFY(file.lock(QtLockedFile::ReadLock, false));
        QCOMPARE(calls(), QStringList({name, "acquire r try"}));
        QVERIFY(file.lock(QtLockedFile::WriteLock, true));
        QCOMPARE(calls(), QStringList({"release r", "acquire w wait"}));
        QVERIFY(file.unlock());
        QCOMPARE(calls(), QStringList({"release w"}));

        file.close();
        file.setFileName(QStringLiteral("other.qel"));
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.lock(QtLockedFile::WriteLock, false));
        QCOMPARE(calls(), QStringList({"acquire w try"}));

        QtLockedFile upper(dir.filePath(QStringLiteral("LOCKED.qel")));
        QVERIFY(upper.open(QIODevice::ReadWrite));
        mechanism.grant = false;
        QVERIFY(!upper.lock(QtLockedFile::ReadLock, false));
        QCOMPARE(upper.lockMode(), QtLockedFile::NoLock);
        QCOMPARE(calls(), QStringList({name, "acquire r try"}));
        // Nothing held, nothing to give back.
        QVERIFY(upper.unlock());
        QCOMPARE(calls(), QStringList());
    }

    // Plain messages go to the warning channel as they are; those about a failed system call go
    // through qErrnoWarning, which adds the system's error text.
    void messagesReachQt()
    {
        QtLockedFile file(QStringLiteral("messages.qel"));
        QVERIFY(file.open(QIODevice::ReadWrite));
        mechanism.grant = false;

        mechanism.message = {NamedMutexLock::MessageKind::Plain,
                             "QtLockedFile::lock(): too many readers"};
        QTest::ignoreMessage(QtWarningMsg, "QtLockedFile::lock(): too many readers");
        QVERIFY(!file.lock(QtLockedFile::ReadLock, false));

        mechanism.message = {NamedMutexLock::MessageKind::SystemError,
                             "QtLockedFile::lock(): CreateMutex failed"};
        QTest::ignoreMessage(
            QtCriticalMsg, QRegularExpression("^QtLockedFile::lock\\(\\): CreateMutex failed .+"));
        QVERIFY(!file.lock(QtLockedFile::WriteLock, false));
    }
};

QTEST_GUILESS_MAIN(TestLockedFileWin)
#include "tst_lockedfile_win.moc"
