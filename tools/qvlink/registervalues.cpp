#include "registervalues.h"

#include <commandline.h>

#include <charconv>
#include <cstring>

namespace {

quint16 wordAt(const QByteArray &registers, int index)
{
    return quint16((quint8(registers.at(2 * index)) << 8) | quint8(registers.at(2 * index + 1)));
}

void appendWord(QByteArray *registers, quint16 word)
{
    registers->append(char(word >> 8));
    registers->append(char(word & 0xFF));
}

quint32 pairAt(const QByteArray &registers, int i, bool lowWordFirst)
{
    const quint16 first = wordAt(registers, 2 * i), second = wordAt(registers, 2 * i + 1);
    return lowWordFirst ? (quint32(second) << 16) | first : (quint32(first) << 16) | second;
}

float floatOf(quint32 bits)
{
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

} // namespace

int registersPerValue(Options::ValueType type)
{
    return type == Options::Word ? 1 : 2;
}

QString valueText(const QByteArray &registers, int i, const Options &o)
{
    if (o.type == Options::Word) {
        const quint16 v = wordAt(registers, i);
        switch (o.format) {
        case Options::Decimal: return QString::number(v);
        case Options::Signed: return QString::number(qint16(v));
        case Options::Hex: break;
        }
        return QStringLiteral("0x%1").arg(v, 4, 16, QLatin1Char('0'));
    }
    const quint32 bits = pairAt(registers, i, o.lowWordFirst);
    if (o.type == Options::Int32)
        return QString::number(qint32(bits));
    if (o.type == Options::Uint32)
        return QString::number(bits);
    // The shortest text that reads back as the same float.
    char text[32];
    const auto end = std::to_chars(text, text + sizeof text, floatOf(bits)).ptr;
    return QString::fromLatin1(text, int(end - text));
}

QJsonValue valueJson(const QByteArray &registers, int i, const Options &o)
{
    if (o.type == Options::Word) {
        const quint16 v = wordAt(registers, i);
        return o.format == Options::Signed ? int(qint16(v)) : int(v);
    }
    const quint32 bits = pairAt(registers, i, o.lowWordFirst);
    switch (o.type) {
    case Options::Int32: return int(qint32(bits));
    case Options::Uint32: return double(bits);
    default: break;
    }
    return double(floatOf(bits));
}

bool appendValue(const QString &text, const Options &o, QByteArray *registers, QString *error)
{
    qint64 v = 0;
    quint32 bits = 0;
    switch (o.type) {
    case Options::Word:
        if (!parseNumber(text, -32768, 0xFFFF, &v)) {
            *error = QStringLiteral("%1 is not a 16-bit value (-32768 to 65535, or 0x0000 to 0xffff)").arg(text);
            return false;
        }
        appendWord(registers, quint16(v));
        return true;
    case Options::Int32:
        if (!parseNumber(text, -2147483648LL, 2147483647LL, &v)) {
            *error = QStringLiteral("%1 is not an int32 value (-2147483648 to 2147483647)").arg(text);
            return false;
        }
        bits = quint32(v);
        break;
    case Options::Uint32:
        if (!parseNumber(text, 0, 0xFFFFFFFFLL, &v)) {
            *error = QStringLiteral("%1 is not a uint32 value (0 to 4294967295, or 0x0 to 0xffffffff)").arg(text);
            return false;
        }
        bits = quint32(v);
        break;
    case Options::Float32: {
        bool ok = false;
        const float f = text.trimmed().toFloat(&ok);
        if (!ok) {
            *error = QStringLiteral("%1 is not a float32 value").arg(text);
            return false;
        }
        std::memcpy(&bits, &f, sizeof bits);
        break;
    }
    }
    const quint16 high = quint16(bits >> 16), low = quint16(bits & 0xFFFF);
    appendWord(registers, o.lowWordFirst ? low : high);
    appendWord(registers, o.lowWordFirst ? high : low);
    return true;
}
