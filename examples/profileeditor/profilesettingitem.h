#ifndef PROFILESETTINGITEM_H
#define PROFILESETTINGITEM_H

#include <functional>

#include <propertyitem.h>

class Profile;

// One named setting of a profile as an editable row. The value is kept in the
// setting's own type (text, colour, integer or bool): an edit that does not
// convert to it is refused, one that does is written through to the profile.
class ProfileSettingItem : public PropertyItem
{
public:
    using Reader = std::function<QVariant(Profile &)>;
    using Writer = std::function<void(Profile &, const QVariant &)>;

    ProfileSettingItem(Profile &profile, const QString &key, int metaType, Reader read, Writer write);

    int type() const override;
    void setValue(const QVariant &value, bool notify) override;
    // Reads the setting from the profile again, discarding nothing unsaved:
    // every accepted edit has already been written.
    void reset() override;
    // A colour setting shows its colour as the decoration too. A setting that
    // is not stored shows its default in grey italics, and its tip says so.
    QVariant data(int role) const override;
    // Whether the profile holds a value of its own for the setting.
    bool isStored() const;

    enum { Type = 1 };

private:
    Profile &m_profile;
    const int m_metaType;
    Reader m_read;
    Writer m_write;
};

#endif // PROFILESETTINGITEM_H
