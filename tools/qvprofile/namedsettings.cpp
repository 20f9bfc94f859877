#include "namedsettings.h"

#include <profile.h>

#include <QColor>
#include <QHash>
#include <QRegularExpression>

#include <limits>

namespace {

// One row per typed accessor of Profile: key, type, getter and setter.
struct Accessor {
    QString (*get)(Profile &);
    void (*set)(Profile &, const QVariant &);
};

#define QV_TEXT(key) \
    {{QStringLiteral(#key), NamedSetting::Text}, \
     {[](Profile &p) { return p.key(QString()); }, \
      [](Profile &p, const QVariant &v) { p.set_##key(v.toString(), true); }}}
#define QV_COLOR(key) \
    {{QStringLiteral(#key), NamedSetting::Color}, \
     {[](Profile &p) { const QColor c = p.key(QColor()); return c.isValid() ? c.name() : QString(); }, \
      [](Profile &p, const QVariant &v) { p.set_##key(v.value<QColor>(), true); }}}
#define QV_INT(key) \
    {{QStringLiteral(#key), NamedSetting::Integer}, \
     {[](Profile &p) { return QString::number(p.key(0)); }, \
      [](Profile &p, const QVariant &v) { p.set_##key(v.toInt(), true); }}}
#define QV_BOOL(key) \
    {{QStringLiteral(#key), NamedSetting::Boolean}, \
     {[](Profile &p) { return QString::fromLatin1(p.key(false) ? "true" : "false"); }, \
      [](Profile &p, const QVariant &v) { p.set_##key(v.toBool(), true); }}}

struct Row {
    NamedSetting setting;
    Accessor accessor;
};

const QVector<Row> &rows()
{
    static const QVector<Row> table = {
        QV_TEXT(statim_sample_prefix),
        QV_TEXT(qc_sample_prefix),
        QV_TEXT(result_is_preparing),
        QV_TEXT(result_can_not_be_calculated),
        QV_TEXT(result_is_incubating),
        QV_TEXT(result_is_analysing),
        QV_TEXT(result_not_clotted),
        QV_TEXT(dilution_result_flag),
        QV_TEXT(lower_report_limit_flag),
        QV_TEXT(upper_report_limit_flag),
        QV_TEXT(lower_mark_limit_flag),
        QV_TEXT(upper_mark_limit_flag),
        QV_TEXT(manual_input_flag),
        QV_TEXT(replication_diff_flag),
        QV_COLOR(color_of_waiting),
        QV_COLOR(color_of_dispensing),
        QV_COLOR(color_of_incubating),
        QV_COLOR(color_of_analysing),
        QV_COLOR(color_of_null_result),
        QV_COLOR(color_of_lower_report),
        QV_COLOR(color_of_upper_report),
        QV_COLOR(color_of_lower_mark),
        QV_COLOR(color_of_upper_mark),
        QV_TEXT(analysis_display_assay),
        QV_TEXT(patient_display_fields),
        QV_INT(max_qc_file),
        QV_INT(qc_method),
        QV_TEXT(hospital),
        QV_BOOL(is_touch_screen),
    };
    return table;
}

#undef QV_TEXT
#undef QV_COLOR
#undef QV_INT
#undef QV_BOOL

const Row *findRow(const QString &key)
{
    for (const Row &row : rows()) {
        if (row.setting.key == key)
            return &row;
    }
    return nullptr;
}

} // namespace

const QVector<NamedSetting> &namedSettings()
{
    static const QVector<NamedSetting> list = [] {
        QVector<NamedSetting> l;
        for (const Row &row : rows())
            l.append(row.setting);
        return l;
    }();
    return list;
}

const NamedSetting *findNamedSetting(const QString &key)
{
    const Row *row = findRow(key);
    return row ? &row->setting : nullptr;
}

QString typeName(NamedSetting::Type type)
{
    switch (type) {
    case NamedSetting::Text: return QStringLiteral("text");
    case NamedSetting::Color: return QStringLiteral("color");
    case NamedSetting::Integer: return QStringLiteral("int");
    case NamedSetting::Boolean: return QStringLiteral("bool");
    }
    return QString();
}

bool parseSettingValue(const NamedSetting &setting, const QString &text, QVariant *value, QString *error)
{
    switch (setting.type) {
    case NamedSetting::Text:
        *value = text;
        return true;
    case NamedSetting::Color: {
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
    case NamedSetting::Integer: {
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
    case NamedSetting::Boolean: {
        static const QHash<QString, bool> words = {
            {"true", true}, {"yes", true}, {"on", true}, {"1", true},
            {"false", false}, {"no", false}, {"off", false}, {"0", false}};
        const auto it = words.constFind(text.trimmed().toLower());
        if (it == words.constEnd()) {
            *error = QStringLiteral("%1 is not a boolean (true or false)").arg(text);
            return false;
        }
        *value = it.value();
        return true;
    }
    }
    return false;
}

QString readNamedSetting(Profile &profile, const NamedSetting &setting)
{
    const Row *row = findRow(setting.key);
    return row ? row->accessor.get(profile) : QString();
}

void writeNamedSetting(Profile &profile, const NamedSetting &setting, const QVariant &value)
{
    if (const Row *row = findRow(setting.key))
        row->accessor.set(profile, value);
}
