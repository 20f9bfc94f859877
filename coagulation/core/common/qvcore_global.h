#ifndef QVCORE_GLOBAL_H
#define QVCORE_GLOBAL_H

/**
 * \file qvcore_global.h
 * \brief The export macro of the shared library.
 */

#include <QtCore/qglobal.h>

/**
 * \def QVCORE_EXPORT
 * Marks the classes and free functions that the shared library exports. The library
 * is built with QVCORE_LIBRARY defined and exports them; a program that uses it imports
 * them. Only the symbols so marked are visible outside the library.
 */
#if defined(QVCORE_LIBRARY)
#  define QVCORE_EXPORT Q_DECL_EXPORT
#else
#  define QVCORE_EXPORT Q_DECL_IMPORT
#endif

#endif // QVCORE_GLOBAL_H
