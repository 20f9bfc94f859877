#ifndef QVCORE_GLOBAL_H
#define QVCORE_GLOBAL_H

#include <QtCore/qglobal.h>

// Marks the classes and free functions that the shared library exports.
#if defined(QVCORE_LIBRARY)
#  define QVCORE_EXPORT Q_DECL_EXPORT
#else
#  define QVCORE_EXPORT Q_DECL_IMPORT
#endif

#endif // QVCORE_GLOBAL_H
