#pragma once

// How the engine reports what went wrong. Not installed.
//
// Inside the library a failure travels as a Failure: an error code a host can act on and a
// text that says what was found. It is thrown where the failure is detected and caught only
// at the public API, which turns it into the object's error() and errorString() and a line on
// the "kest.archive" logging category. Nothing thrown here ever leaves the library.

#include "Archive.h"

#include <QLoggingCategory>
#include <QString>

#include <exception>

namespace Kest::Ar {

Q_DECLARE_LOGGING_CATEGORY(lcArchive)

struct Failure
{
    Archive::Error code;
    QString message;
};

[[noreturn]] inline void fail(Archive::Error code, const QString& message)
{
    throw Failure{code, message};
}

// A system call on the file at `path` failed: by errno, a full disk is OutOfSpace and anything
// else IoError; the text names the operation and the system's reason.
[[noreturn]] void failIo(const char* operation, const QString& path);

// Whether a failure came from the file refusing bytes: what a transaction is rolled back for.
inline bool isWriteFailure(Archive::Error code)
{
    return code == Archive::Error::IoError || code == Archive::Error::OutOfSpace;
}

// Runs `operation`; what it throws goes to `onFailure(code, message)`. True when nothing was
// thrown. The one place where the library's exceptions end.
template <typename Operation, typename OnFailure>
bool guarded(Operation&& operation, OnFailure&& onFailure)
{
    try {
        operation();
        return true;
    } catch (const Failure& failure) {
        onFailure(failure.code, failure.message);
    } catch (const std::exception& failure) {
        onFailure(Archive::Error::IoError, QString::fromLocal8Bit(failure.what()));
    }
    return false;
}

// A condition worth telling that is not a failure (removing what does not exist).
inline void note(const QString& message)
{
    qCDebug(lcArchive, "%s", qUtf8Printable(message));
}

} // namespace Kest::Ar
