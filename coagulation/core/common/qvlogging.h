#ifndef QVLOGGING_H
#define QVLOGGING_H

#include <QtCore/QLoggingCategory>

#include "qvcore_global.h"

// The library's diagnostics, one logging category per subsystem, so that a program
// (or QT_LOGGING_RULES="qv.link.debug=true") can switch each one's chatter on and off
// without a rebuild. Warnings are on by default; their texts are the library's own.
QVCORE_EXPORT const QLoggingCategory &qvLink(); // "qv.link": frames, exchanges, module operations
QVCORE_EXPORT const QLoggingCategory &qvTransport(); // "qv.transport": serial ports and sockets
QVCORE_EXPORT const QLoggingCategory &qvProfile(); // "qv.profile": the settings store and its databases
QVCORE_EXPORT const QLoggingCategory &qvResults(); // "qv.results": results, curves, their stored forms
QVCORE_EXPORT const QLoggingCategory &qvModel(); // "qv.model": the property tree and its model
QVCORE_EXPORT const QLoggingCategory &qvCommon(); // "qv.common": utilities, scripts, translations

#endif // QVLOGGING_H
