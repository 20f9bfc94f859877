#ifndef CONSOLEFORMAT_H
#define CONSOLEFORMAT_H

#include "console.h"

#include <toolmessages.h>

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTextStream>

// Small text helpers the console's commands share.

inline QTextStream &out()
{
    return toolOut();
}

inline QTextStream &err()
{
    return toolErr();
}

// "de ad be ef", and "deadbeef" for JSON.
inline QString hex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

inline QString compactHex(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex());
}

// "1 poll", "2 polls".
inline QString plural(qint64 n, const char *one, const char *many)
{
    return QStringLiteral("%1 %2").arg(n).arg(QLatin1String(n == 1 ? one : many));
}

#endif // CONSOLEFORMAT_H
