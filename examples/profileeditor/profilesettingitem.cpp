#include "profilesettingitem.h"

#include <QtCore/QCoreApplication>
#include <QtGui/QColor>
#include <QtGui/QPalette>
#include <QtWidgets/QApplication>

#include <profile.h>

ProfileSettingItem::ProfileSettingItem(Profile &profile, const ProfileItem &setting)
    : PropertyItem(setting.label(), QVariant())
    , m_profile(profile)
    , m_setting(setting)
{
    PropertyItem::setValue(m_setting.value(m_profile), false);
}

int ProfileSettingItem::type() const
{
    return Type;
}

void ProfileSettingItem::setValue(const QVariant &value, bool notify)
{
    QVariant typed = value;
    const int wanted = m_setting.type();
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const bool converted = typed.convert(QMetaType(wanted));
#else
    const bool converted = typed.convert(wanted);
#endif
    // A colour name the parser does not know converts to an invalid colour.
    if (!converted || (wanted == QMetaType::QColor && !typed.value<QColor>().isValid())) {
        qWarning("profileeditor: %s: \"%s\" is not a value of this setting",
                 qPrintable(key()), qPrintable(value.toString()));
        return;
    }
    const bool wasStored = isStored();
    m_setting.setValue(m_profile, typed, true);
    PropertyItem::setValue(typed, notify);
    // The check box is drawn from the value cell's check state.
    if (isCheckable())
        emitDataChanged();
    // The first store changes how both cells are drawn, the name cell too.
    if (isStored() != wasStored)
        emitDataChanged({Qt::ForegroundRole, Qt::ToolTipRole});
}

void ProfileSettingItem::reset()
{
    PropertyItem::setValue(m_setting.value(m_profile), false);
    PropertyItem::reset();
}

bool ProfileSettingItem::isStored() const
{
    // Without a default the store answers with its own value only.
    return m_profile.value(key()).isValid();
}

QString ProfileSettingItem::key() const
{
    return m_setting.key();
}

bool ProfileSettingItem::isCheckable() const
{
    return m_setting.type() == QMetaType::Bool;
}

QVariant ProfileSettingItem::data(int role) const
{
    switch (role) {
    case Qt::ForegroundRole: {
        if (isStored())
            return QVariant();
        // Three parts text to two of background: black on white gives #666666, 5.7:1 on
        // white and 4.7:1 on alternate rows a tenth darker; white on a dark base as clear.
        const QPalette palette = QApplication::palette();
        const QColor text = palette.color(QPalette::Text), base = palette.color(QPalette::Base);
        const auto mix = [](qreal t, qreal b) { return (3 * t + 2 * b) / 5; };
        return QColor::fromRgbF(mix(text.redF(), base.redF()), mix(text.greenF(), base.greenF()),
                                mix(text.blueF(), base.blueF()));
    }
    case Qt::ToolTipRole:
        return key() + QLatin1Char('\n')
             + (isStored() ? QCoreApplication::translate("ProfileSettingItem", "stored in the profile")
                           : QCoreApplication::translate("ProfileSettingItem", "not stored: the default is shown"));
    default:
        break;
    }
    if (m_setting.type() == QMetaType::QColor && (role == Qt::DisplayRole || role == Qt::DecorationRole)) {
        // A colour never set shows as nothing rather than as black.
        const QVariant colour = value();
        return colour.value<QColor>().isValid() ? colour : QVariant();
    }
    return PropertyItem::data(role);
}
