#pragma once

#include <QtCore/qglobal.h>

// Symbols are hidden unless marked: only the classes that hosts use are exported.
#if defined(KESTARCHIVE_LIBRARY)
#define KESTARCHIVE_EXPORT Q_DECL_EXPORT
#else
#define KESTARCHIVE_EXPORT Q_DECL_IMPORT
#endif
