#ifndef REGISTERVALUES_H
#define REGISTERVALUES_H

#include "options.h"

#include <QByteArray>
#include <QJsonValue>
#include <QString>

// Register contents as engineers read them: 16-bit words (hex, decimal or
// signed), or 32-bit integers and floats from pairs of registers in either word
// order. Registers are byte pairs, high byte first, as on the wire.

int registersPerValue(Options::ValueType type);

// Value i of registers, as text and as JSON.
QString valueText(const QByteArray &registers, int i, const Options &options);
QJsonValue valueJson(const QByteArray &registers, int i, const Options &options);

// Appends the registers of one value written as text; false with a message
// when the text is not a value of the type.
bool appendValue(const QString &text, const Options &options, QByteArray *registers, QString *error);

#endif // REGISTERVALUES_H
