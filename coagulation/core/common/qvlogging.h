#ifndef QVLOGGING_H
#define QVLOGGING_H

/**
 * \file qvlogging.h
 * \brief The library's logging categories.
 *
 * The library's diagnostics go through one logging category per subsystem, so that a
 * program (QLoggingCategory::setFilterRules()) or the environment
 * (`QT_LOGGING_RULES="qv.link.warning=false"`) can switch each one on and off without
 * a rebuild. Warnings are on by default, debug lines off; the texts are the library's
 * own. Each function returns the same object every time and is safe from any thread.
 */

#include <QtCore/QLoggingCategory>

#include "qvcore_global.h"

/// "qv.link": frames, exchanges, module operations.
QVCORE_EXPORT const QLoggingCategory &qvLink();
/// "qv.transport": serial ports and sockets.
QVCORE_EXPORT const QLoggingCategory &qvTransport();
/// "qv.profile": the settings store and its databases.
QVCORE_EXPORT const QLoggingCategory &qvProfile();
/// "qv.results": results, curves, their stored forms.
QVCORE_EXPORT const QLoggingCategory &qvResults();
/// "qv.model": the property tree and its model.
QVCORE_EXPORT const QLoggingCategory &qvModel();
/// "qv.common": utilities, scripts, translations.
QVCORE_EXPORT const QLoggingCategory &qvCommon();

#endif // QVLOGGING_H
