#pragma once

// Copying whole files between the host and an archive, streamed through a member file in
// chunks so that a progress bar can follow long transfers. The bytes arrive unchanged; a
// transfer that delivers fewer or more bytes than the source's size fails.

#include <KestArchive/Archive.h>

#include <QString>

namespace Kestar {

class ProgressBar;

// Why a transfer into an archive failed: the reason, and the library's error when the
// member failed (NoError when the host file did).
struct ImportFailure
{
    QString why;
    Kest::Ar::Archive::Error code = Kest::Ar::Archive::Error::NoError;
};

// Copies the host file into the member, which is created or rewritten from its start.
// On failure returns false with the reason in `failure`.
bool importFile(Kest::Ar::Archive& archive, const QString& hostPath, const QString& memberPath,
                ProgressBar& progress, ImportFailure& failure);

// Copies the member to the host file, which is created or emptied first.
bool exportFile(Kest::Ar::Archive& archive, const QString& memberPath, const QString& hostPath,
                ProgressBar& progress, QString& why);

// Copies the member to standard output.
bool exportToStandardOutput(Kest::Ar::Archive& archive, const QString& memberPath, QString& why);

} // namespace Kestar
