#ifndef PROFILESETTINGITEM_H
#define PROFILESETTINGITEM_H

#include <profileitem.h>
#include <propertyitem.h>

class Profile;

// One named setting of a profile as an editable row, named by its label. The
// value is kept in the setting's own type (text, colour, integer or bool): an
// edit that does not convert to it is refused, one that does is written through
// to the profile.
class ProfileSettingItem : public PropertyItem
{
public:
    ProfileSettingItem(Profile &profile, const ProfileItem &setting);

    int type() const override;
    void setValue(const QVariant &value, bool notify) override;
    // Reads the setting from the profile again, discarding nothing unsaved:
    // every accepted edit has already been written.
    void reset() override;
    // A colour setting shows its colour as the decoration too. A setting that is not
    // stored shows its default in a colour between text and background, upright (a
    // slant would be synthetic in CJK fonts), readable at a contrast of 4.5:1 or more.
    // The tip names the key and says whether the value is stored.
    QVariant data(int role) const override;
    // Whether the profile holds a value of its own for the setting.
    bool isStored() const;
    QString key() const;
    // A yes-or-no setting, shown and edited as a check box rather than as words.
    bool isCheckable() const;

    enum { Type = 1 };

private:
    Profile &m_profile;
    const ProfileItem m_setting;
};

#endif // PROFILESETTINGITEM_H
