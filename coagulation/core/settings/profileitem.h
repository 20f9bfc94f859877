#ifndef PROFILEITEM_H
#define PROFILEITEM_H

#include <QtCore/QString>
#include <QtCore/QVariant>

#include "qvcore_global.h"

class Profile;
struct ProfileItemRow;

// One named setting of the profile as a program lists it (Profile::items()): its
// key, type, declared default, group and label, and its typed accessors. An item
// only points at the setting's declaration, so copies cost nothing. Texts are
// translated when they are asked for.
class QVCORE_EXPORT ProfileItem
{
public:
    // No setting: invalid, with empty answers.
    ProfileItem() = default;

    bool isValid() const { return m_row != nullptr; }
    QString key() const;
    // The QMetaType id of the value: QString, QColor, int or bool.
    int type() const;
    // The value a getter called without a default returns while nothing is stored.
    QVariant defaultValue() const;
    QString group() const;
    QString label() const;

    // What the typed getter returns with the declared default, as a variant of type().
    QVariant value(Profile &profile) const;
    // The typed setter with value converted to type(); save as for Profile::setValue().
    void setValue(Profile &profile, const QVariant &value, bool save) const;

    bool operator==(const ProfileItem &other) const { return m_row == other.m_row; }
    bool operator!=(const ProfileItem &other) const { return m_row != other.m_row; }

private:
    friend class Profile;
    explicit ProfileItem(const ProfileItemRow *row) : m_row(row) {}

    const ProfileItemRow *m_row = nullptr;
};

Q_DECLARE_TYPEINFO(ProfileItem, Q_PRIMITIVE_TYPE);

#endif // PROFILEITEM_H
