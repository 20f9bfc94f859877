#include "profilesettingitem.h"

#include <QtCore/QCoreApplication>
#include <QtGui/QColor>
#include <QtGui/QFont>
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
    // The first store changes how both cells are drawn, the name cell too.
    if (isStored() != wasStored)
        emitDataChanged({Qt::FontRole, Qt::ForegroundRole, Qt::ToolTipRole});
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

QVariant ProfileSettingItem::data(int role) const
{
    switch (role) {
    case Qt::FontRole:
        if (!isStored()) {
            QFont font;
            font.setItalic(true);
            return font;
        }
        return QVariant();
    case Qt::ForegroundRole:
        return isStored() ? QVariant() : QVariant(QApplication::palette().color(QPalette::Disabled, QPalette::Text));
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
