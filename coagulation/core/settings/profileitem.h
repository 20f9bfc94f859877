#ifndef PROFILEITEM_H
#define PROFILEITEM_H

#include <QtCore/QString>
#include <QtCore/QVariant>

#include "qvcore_global.h"

class Profile;
struct ProfileItemRow;

/**
 * \file profileitem.h
 * \brief One named setting as programs list it (ProfileItem).
 */

/**
 * One named setting of the profile as a program lists it (Profile::items()): its
 * key, type, declared default, group and label, and its typed accessors. An item
 * only points at the setting's declaration, so copies cost nothing. Texts are
 * translated when they are asked for. Reentrant; the descriptions may be read from any
 * thread, and value() and setValue() are as thread-safe as the profile's typed accessors.
 */
class QVCORE_EXPORT ProfileItem
{
public:
    /// No setting: invalid, with empty answers.
    ProfileItem() = default;

    /// Whether the item names a setting.
    bool isValid() const { return m_row != nullptr; }
    /// The setting's key: the row's name in the table "profile" and the accessors' name.
    QString key() const;
    /// The QMetaType id of the value: QString, QColor, int or bool; QMetaType::UnknownType when invalid.
    int type() const;
    /// The value a getter called without a default returns while nothing is stored.
    QVariant defaultValue() const;
    /// The group an editor shows the setting in, translated.
    QString group() const;
    /// The setting's label, translated.
    QString label() const;

    /// What the typed getter returns with the declared default, as a variant of type(); invalid for an invalid item.
    QVariant value(Profile &profile) const;
    /// The typed setter with value converted to type(); save as for Profile::setValue(). Nothing for an invalid item.
    void setValue(Profile &profile, const QVariant &value, bool save) const;

    /// Whether both name the same setting (or both none).
    bool operator==(const ProfileItem &other) const { return m_row == other.m_row; }
    /// Whether they name different settings.
    bool operator!=(const ProfileItem &other) const { return m_row != other.m_row; }

private:
    friend class Profile;
    explicit ProfileItem(const ProfileItemRow *row) : m_row(row) {}

    const ProfileItemRow *m_row = nullptr;
};

Q_DECLARE_TYPEINFO(ProfileItem, Q_PRIMITIVE_TYPE);

#endif // PROFILEITEM_H
