// The locked file's side of the Windows mechanism (qtlockedfile_win.cpp), built against a
// stand-in for NamedMutexLock, whose real self runs under Wine in tst_lockedfile_wine: what only
// this side does, the name of the mutexes, the modes handed on and where messages go.
#include "qtlockedfile.h"

#include <QtTest>

using Kest::NamedMutexLock;
using Kest::QtLockedFile;

namespace {

QStringList calls; // what the stand-in was asked
bool grant = true;
const char* message = nullptr; // reported by every acquire, of kind `kind`
NamedMutexLock::MessageKind kind = NamedMutexLock::MessageKind::Plain;

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
    calls << "name " + QString::fromStdWString(path);
}

bool NamedMutexLock::acquire(Mode mode, bool block)
{
    calls << QString("acquire ") + (mode == Mode::Read ? "r" : "w") + (block ? " wait" : " try");
    if (message)
        report(kind, message);
    return grant;
}

void NamedMutexLock::release(Mode mode)
{
    calls << QString("release ") + (mode == Mode::Read ? "r" : "w");
}

class TestLockedFileWin : public QObject
{
    Q_OBJECT

    QTemporaryDir dir;

private slots:
    void initTestCase() { QVERIFY(dir.isValid() && QDir::setCurrent(dir.path())); }
    void init() { QTest::failOnWarning(QRegularExpression(QStringLiteral(".*"))); }

    // Named once, at the first lock, after the absolute path in lower case: both spellings of a
    // path name one lock, and a file given another name later keeps the name of its lock.
    // Plain messages go to the warning channel as they are; those about a failed system call
    // through qErrnoWarning, which adds the system's error text.
    void namesAndMessages()
    {
        const QString name = "name " + dir.filePath(QStringLiteral("locked.qel")).toLower();
        QtLockedFile file(QStringLiteral("Locked.QEL"));
        QtLockedFile upper(dir.filePath(QStringLiteral("LOCKED.qel")));
        QVERIFY(file.open(QIODevice::ReadWrite) && upper.open(QIODevice::ReadWrite));
        QVERIFY(file.lock(QtLockedFile::ReadLock, false) && file.lock(QtLockedFile::WriteLock));
        QVERIFY(file.unlock());
        file.close();
        file.setFileName(QStringLiteral("other.qel"));
        QVERIFY(file.open(QIODevice::ReadWrite) && file.lock(QtLockedFile::WriteLock, false));
        grant = false;
        QVERIFY(!upper.lock(QtLockedFile::ReadLock, false) && upper.unlock()); // holds nothing
        QCOMPARE(calls, QStringList({name, "acquire r try", "release r", "acquire w wait",
                                     "release w", "acquire w try", name, "acquire r try"}));

        message = "QtLockedFile::lock(): too many readers";
        QTest::ignoreMessage(QtWarningMsg, message);
        QVERIFY(!upper.lock(QtLockedFile::ReadLock, false));
        kind = NamedMutexLock::MessageKind::SystemError;
        message = "QtLockedFile::lock(): CreateMutex failed";
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^QtLockedFile::lock\\(\\): "
                                                               "CreateMutex failed .+"));
        QVERIFY(!upper.lock(QtLockedFile::WriteLock, false));
    }
};

QTEST_GUILESS_MAIN(TestLockedFileWin)
#include "tst_lockedfile_win.moc"
