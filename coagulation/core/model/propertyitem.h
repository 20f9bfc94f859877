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

/**
 * \file propertyitem.h
 * \brief One node of a property tree (PropertyItem).
 */

/**
 * One node of a tree of named values, shown by PropertyItemModel as a row with a name
 * cell and a value cell. An item owns its children.
 *
 * Every change is announced to the model that shows the tree, for exactly the cells
 * whose shown data or flags it changes, so attached views follow; a value change is
 * also passed up the tree through childChanged(). A move inside one model is announced
 * as a move, so persistent indexes, selection and expansion follow the item.
 *
 * Copying takes the name, the values and the flags only: a copy is detached (no
 * parent, no model) and has no children. Assigning to an item keeps its own place in
 * its tree and its own children.
 *
 * Subclasses give an item its own type(), its own way to take a value (setValue()),
 * to show it (data()) and to read it again (reset()); profileeditor/profilesettingitem.h
 * in the examples is one. Not thread-safe: use items on the thread of their model,
 * normally the GUI thread. An item has no texts of its own; PropertyItemModel's
 * column titles are Chinese until installTranslators() installs another language.
 */
class QVCORE_EXPORT PropertyItem
{
public:
    /// A detached item with an empty name, no value, selectable, editable and enabled.
    PropertyItem();
    /// A detached item named name holding value (Qt::DisplayRole), selectable, editable and enabled.
    PropertyItem(const QString &name, const QVariant &value);
    /// A detached, childless item with other's name, values and flags.
    PropertyItem(const PropertyItem &other);
    /**
     * Takes other's name, values and flags, keeping this item's place and children;
     * announces both cells as changed.
     */
    PropertyItem &operator=(const PropertyItem &other);
    /**
     * Destroys the subtree. An item that is still attached is first taken out of its
     * parent, with the row-removal notifications.
     */
    virtual ~PropertyItem();

    /// The text of the name cell.
    QString name() const;
    /// Sets the text of the name cell and announces that cell.
    void setName(const QString &name);

    /// The value shown in the value cell (Qt::DisplayRole and Qt::EditRole).
    QVariant value() const;

    /// The item's flags; the model never shows the name cell as editable.
    Qt::ItemFlags flags() const;
    /// Sets the flags and announces the cells whose flags change.
    void setFlags(Qt::ItemFlags flags);
    /// Sets (on) or clears the given flags, as setFlags() would.
    void changeFlags(Qt::ItemFlags flags, bool on);
    /// Whether Qt::ItemIsEditable is set.
    bool isEditable() const;
    /// Sets or clears Qt::ItemIsEditable.
    void setEditable(bool editable);

    /// The parent item; null for a detached item and a model's root item.
    PropertyItem *parent() const;
    /// The model that shows the item; null for an item outside every model.
    PropertyItemModel *model() const;
    /// The children, in row order.
    QList<PropertyItem *> children() const;
    /// The number of children.
    int childCount() const;
    /// The child in row; null for a row outside 0 .. childCount() - 1.
    PropertyItem *child(int row) const;

    /// The index of the item's name cell in its model; invalid outside a model and for the root item.
    QModelIndex index() const;
    /// The index of the item's value cell in its model; invalid outside a model and for the root item.
    QModelIndex valueIndex() const;

    /// Attaches child after the last child, as insert() does.
    void append(PropertyItem *child);
    /**
     * Attaches child at position, clamped into 0 .. childCount(); the item owns it from
     * then on. A child of another parent in the same model (or the same detached tree)
     * is moved here; one of another model is removed there, then inserted here. A child
     * this item already holds is moved so that its row becomes position (clamped to the
     * last row). Null, this item, one of its ancestors or a model's root item is refused
     * with a warning line (category qv.model), and nothing changes.
     */
    void insert(int position, PropertyItem *child);
    /**
     * Detaches child and its subtree, with the row-removal notifications; the caller
     * owns it from then on. Does nothing when child is not a child of this item.
     */
    void remove(PropertyItem *child);

    /// The item's type, for subclasses to tell themselves apart; 0 here.
    virtual int type() const;
    /**
     * Sets the value (Qt::DisplayRole) and announces the value cell; with notify, also
     * tells the parent through childChanged(). The model's setData() calls it, with
     * notify, when the value is edited in a view.
     */
    virtual void setValue(const QVariant &value, bool notify);
    /**
     * Calls reset() on every child, in row order. A subclass that reads its value from
     * elsewhere reads it again here, then calls this to reach its children.
     * PropertyItemModel::revert() calls it on the root item.
     */
    virtual void reset();
    /**
     * The value stored for role; an invalid variant for a role never set. The model asks
     * for Qt::DisplayRole when a view asks for Qt::EditRole.
     */
    virtual QVariant data(int role) const;
    /**
     * Sets the value of role. Qt::EditRole and Qt::DisplayRole go through setValue() with
     * notify; an invalid value clears another role. A value equal to the stored one
     * (after conversion to its type, as Qt 5 compares variants) changes nothing.
     */
    virtual void setData(const QVariant &value, int role);

protected:
    /// Called when a child's value changed with notify; passes it on to this item's parent.
    virtual void childChanged(PropertyItem *child);

    /// Tells the parent, if any, that this item changed (childChanged()).
    void notifyParent();
    /// Announces a change of the value cell, every role.
    void emitDataChanged();
    /**
     * Announces a change of the given roles in every cell that shows them: the display
     * and edit roles in the value cell only (the name cell shows the name there), any
     * other role in both cells. No roles means every role.
     */
    void emitDataChanged(const QVector<int> &roles);
    /**
     * Sets the item's parent and model, leaving its old parent, and gives the subtree
     * the new model. Makes no announcement: insert() and remove() announce the rows.
     */
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
