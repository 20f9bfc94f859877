#include "profileitem.h"
#include "profileitem_p.h"

#include "profile.h"

const ProfileItemRow *profileItemRows(int *count)
{
#define QV_PROFILE_ITEM_ROW(Type, key, declared, group, label) \
    {#key, qMetaTypeId<Type>(), \
     []() { return QVariant::fromValue(Type(declared)); }, \
     []() { return QString(QV_PROFILE_GROUP_##group); }, \
     []() { return QString(label); }, \
     [](Profile &p) { return QVariant::fromValue(p.key()); }, \
     [](Profile &p, const QVariant &v, bool save) { p.set_##key(v.value<Type>(), save); }},

    static const ProfileItemRow rows[] = {QV_PROFILE_SETTINGS(QV_PROFILE_ITEM_ROW)};
#undef QV_PROFILE_ITEM_ROW
    *count = int(sizeof rows / sizeof rows[0]);
    return rows;
}

QString ProfileItem::key() const
{
    return m_row ? QLatin1String(m_row->key) : QString();
}

int ProfileItem::type() const
{
    return m_row ? m_row->type : QMetaType::UnknownType;
}

QVariant ProfileItem::defaultValue() const
{
    return m_row ? m_row->defaultValue() : QVariant();
}

QString ProfileItem::group() const
{
    return m_row ? m_row->group() : QString();
}

QString ProfileItem::label() const
{
    return m_row ? m_row->label() : QString();
}

QVariant ProfileItem::value(Profile &profile) const
{
    return m_row ? m_row->get(profile) : QVariant();
}

void ProfileItem::setValue(Profile &profile, const QVariant &value, bool save) const
{
    if (m_row)
        m_row->set(profile, value, save);
}
