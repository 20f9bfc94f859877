#ifndef PROPERTYITEM_H
#define PROPERTYITEM_H

#include <QtCore/QList>
#include <QtCore/QModelIndex>
#include <QtCore/QScopedPointer>
#include <QtCore/QString>
#include <QtCore/QVariant>
#include <QtCore/QVector>

#include "qvcore_global.h"

class PropertyItemModel;
class PropertyItemPrivate;

// One node of a tree of named values, shown by PropertyItemModel as a row with
// a name cell and a value cell. An item owns its children. Every change is
// announced to the model that shows the tree, for exactly the cells whose
// shown data or flags it changes, so attached views follow; a value change is
// also passed up the tree through childChanged. A move inside one model is
// announced as a move, so persistent indexes, selection and expansion follow
// the item.
//
// Copying takes the name, the values and the flags only: a copy is detached
// (no parent, no model) and has no children. Assigning to an item keeps its
// own place in its tree and its own children.
class QVCORE_EXPORT PropertyItem
{
public:
    PropertyItem();
    PropertyItem(const QString &name, const QVariant &value);
    PropertyItem(const PropertyItem &other);
    PropertyItem &operator=(const PropertyItem &other);
    // Destroys the subtree. An item that is still attached is first taken out
    // of its parent, with the row-removal notifications.
    virtual ~PropertyItem();

    QString name() const;
    void setName(const QString &name);

    QVariant value() const;

    Qt::ItemFlags flags() const;
    void setFlags(Qt::ItemFlags flags);
    void changeFlags(Qt::ItemFlags flags, bool on);
    bool isEditable() const;
    void setEditable(bool editable);

    PropertyItem *parent() const;
    PropertyItemModel *model() const;
    QList<PropertyItem *> children() const;
    int childCount() const;
    PropertyItem *child(int row) const;

    QModelIndex index() const;
    QModelIndex valueIndex() const;

    // Attach child at the end, or at position clamped into 0..childCount().
    // A child of another parent in the same model (or the same detached tree)
    // is moved here; one of another model is removed there, then inserted
    // here. A child this item already holds is moved so that its row becomes
    // position (clamped to the last row).
    // Null, this item, one of its ancestors or a model's root item is refused.
    void append(PropertyItem *child);
    void insert(int position, PropertyItem *child);
    // Detaches child and its subtree; the caller owns it from then on.
    // Does nothing when child is not a child of this item.
    void remove(PropertyItem *child);

    virtual int type() const;
    virtual void setValue(const QVariant &value, bool notify);
    virtual void reset();
    virtual QVariant data(int role) const;
    virtual void setData(const QVariant &value, int role);

protected:
    virtual void childChanged(PropertyItem *child);

    void notifyParent();
    // Announces a change of the value cell, every role.
    void emitDataChanged();
    // Announces a change of the given roles in every cell that shows them: the
    // display and edit roles in the value cell only (the name cell shows the
    // name there), any other role in both cells. No roles means every role.
    void emitDataChanged(const QVector<int> &roles);
    void setParentAndModel(PropertyItem *parent, PropertyItemModel *model);

private:
    friend class PropertyItemModel;
    explicit PropertyItem(PropertyItemModel *model);

    // Row of this item in its parent's list, or -1; amortised O(1).
    int row() const;
    bool isAncestorOf(const PropertyItem *item) const;
    void moveChild(PropertyItem *child, int position);

    QScopedPointer<PropertyItemPrivate> d;
};

#endif // PROPERTYITEM_H
