#ifndef PROPERTYITEM_P_H
#define PROPERTYITEM_P_H

#include <QtCore/QList>
#include <QtCore/QPair>
#include <QtCore/QString>
#include <QtCore/QVariant>
#include <QtCore/QVector>

class PropertyItem;
class PropertyItemModel;

// Values keyed by role. An item holds a handful at most, so a flat vector
// searched in order beats a map: one block, read with one cache miss.
class PropertyRoleValues
{
public:
    QVariant value(int role) const
    {
        for (const Entry &entry : m_entries) {
            if (entry.first == role)
                return entry.second;
        }
        return QVariant();
    }

    void insert(int role, const QVariant &value)
    {
        for (Entry &entry : m_entries) {
            if (entry.first == role) {
                entry.second = value;
                return;
            }
        }
        m_entries.append(Entry(role, value));
    }

    void remove(int role)
    {
        for (int i = 0; i < m_entries.size(); ++i) {
            if (m_entries.at(i).first == role) {
                m_entries.remove(i);
                return;
            }
        }
    }

private:
    using Entry = QPair<int, QVariant>;
    QVector<Entry> m_entries;
};

class PropertyItemPrivate
{
public:
    QString name;
    PropertyRoleValues values;
    PropertyItem *parent = nullptr;
    PropertyItemModel *model = nullptr;
    QList<PropertyItem *> children;
    Qt::ItemFlags flags = Qt::ItemIsSelectable | Qt::ItemIsEditable | Qt::ItemIsEnabled;
    // Last known row in the parent's list; checked before use, so a stale
    // hint costs a short search outward from it, never a wrong answer.
    mutable int rowHint = 0;
    bool isRoot = false;
};

#endif // PROPERTYITEM_P_H
