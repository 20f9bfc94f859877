#include "settingtext.h"

#include <profileitem.h>

#include <QColor>
#include <QHash>
#include <QRegularExpression>

#include <limits>

QString typeName(int type)
{
    switch (type) {
    case QMetaType::QString: return QStringLiteral("text");
    case QMetaType::QColor: return QStringLiteral("color");
    case QMetaType::Int: return QStringLiteral("int");
    case QMetaType::Bool: return QStringLiteral("bool");
    default: return QString();
    }
}

bool parseSettingValue(const ProfileItem &setting, const QString &text, QVariant *value, QString *error)
{
    switch (setting.type()) {
    case QMetaType::QString:
        *value = text;
        return true;
    case QMetaType::QColor: {
        // Eight digits are #aarrggbb to QColor but #rrggbbaa to most people;
        // either way the profile keeps no alpha, so another colour would be
        // stored than the one meant.
        static const QRegularExpression withAlpha(QStringLiteral("^\\s*#[0-9a-fA-F]{8}\\s*$"));
        if (withAlpha.match(text).hasMatch()) {
            *error = QStringLiteral("%1 has an alpha part, which the profile does not keep (use #rrggbb)").arg(text);
            return false;
        }
        const QColor c(text);
        if (!c.isValid()) {
            *error = QStringLiteral("%1 is not a colour (use #rrggbb or a colour name)").arg(text);
            return false;
        }
        if (c.alpha() != 255) {
            *error = QStringLiteral("%1 is not opaque, and the profile keeps no alpha (use #rrggbb)").arg(text);
            return false;
        }
        *value = c;
        return true;
    }
    case QMetaType::Int: {
        // Decimal, leading zeros included, or hexadecimal after 0x.
        static const QRegularExpression integer(
            QStringLiteral("^\\s*([+-]?)(?:0[xX]([0-9a-fA-F]+)|([0-9]+))\\s*$"));
        const QRegularExpressionMatch match = integer.match(text);
        bool ok = false;
        qlonglong n = 0;
        if (match.hasMatch()) {
            const bool hex = match.capturedLength(2) > 0;
            n = (match.captured(1) + match.captured(hex ? 2 : 3)).toLongLong(&ok, hex ? 16 : 10);
        }
        if (!ok || n < std::numeric_limits<int>::min() || n > std::numeric_limits<int>::max()) {
            *error = QStringLiteral("%1 is not an integer (decimal, or hexadecimal after 0x)").arg(text);
            return false;
        }
        *value = int(n);
        return true;
    }
    case QMetaType::Bool: {
        static const QHash<QString, bool> words = {
            {"true", true}, {"yes", true}, {"on", true}, {"1", true},
            {"false", false}, {"no", false}, {"off", false}, {"0", false}};
        const auto it = words.constFind(text.trimmed().toLower());
        if (it == words.constEnd()) {
            *error = QStringLiteral("%1 is not a boolean (" BOOLEAN_WORDS ")").arg(text);
            return false;
        }
        *value = it.value();
        return true;
    }
    }
    return false;
}

QString settingText(const QVariant &value)
{
    switch (value.userType()) {
    case QMetaType::QColor: {
        const QColor colour = value.value<QColor>();
        return colour.isValid() ? colour.name() : QString();
    }
    case QMetaType::Bool:
        return QString::fromLatin1(value.toBool() ? "true" : "false");
    default:
        return value.toString();
    }
}
