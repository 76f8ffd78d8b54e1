#pragma once

// Small helpers shared by the archive's implementation files; not installed.

#include <QDebug>
#include <QString>

#include <stdexcept>

namespace Kest::Ar::Internal {

// Internal failures of the container travel as std::runtime_error whose text begins with the
// failing operation's name and a colon; they are caught only where a result is defined.
[[noreturn]] inline void raise(const QString& message)
{
    throw std::runtime_error(message.toStdString());
}

// Expected conditions of public operations: the message as one QString on the debug channel.
inline void report(const QString& message)
{
    qDebug() << message;
}

// The text of a caught internal failure, as a plain debug line.
inline void reportFailure(const std::exception& failure)
{
    qDebug("%s", failure.what());
}

} // namespace Kest::Ar::Internal
