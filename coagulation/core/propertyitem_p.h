#ifndef PROPERTYITEM_P_H
#define PROPERTYITEM_P_H

#include <QtCore/QList>
#include <QtCore/QMap>
#include <QtCore/QString>
#include <QtCore/QVariant>

class PropertyItem;
class PropertyItemModel;

class PropertyItemPrivate
{
public:
    QString name;
    QMap<int, QVariant> values;
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
