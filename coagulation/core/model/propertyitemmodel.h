#ifndef PROPERTYITEMMODEL_H
#define PROPERTYITEMMODEL_H

#include <QtCore/QAbstractItemModel>
#include <QtCore/QScopedPointer>

#include "qvcore_global.h"

class PropertyItem;

/**
 * \file propertyitemmodel.h
 * \brief The item model of a property tree (PropertyItemModel).
 */

/**
 * Shows a tree of PropertyItem objects as two columns: the name of each item in column
 * 0 and its value in column 1. The model owns an invisible root item whose children are
 * the top-level rows; an invalid index stands for it. Every valid index carries its
 * row's item as the internal pointer. Children hang under the name cell only: a value
 * cell has no rows.
 *
 * The column titles are Chinese ("名称", "值") until installTranslators() installs
 * another language; they are translated when a view asks for them.
 *
 * Not thread-safe: use the model and its items only on the model's thread, normally
 * the GUI thread, as with every item model.
 */
class QVCORE_EXPORT PropertyItemModel : public QAbstractItemModel
{
    Q_OBJECT

public:
    /// An empty model: a root item without children.
    explicit PropertyItemModel(QObject *parent = nullptr);
    /// Destroys the root item and with it every item of the tree.
    ~PropertyItemModel() override;

    /// The invisible root item, owned by the model; its children are the top-level rows.
    PropertyItem *rootItem() const;
    /// Attaches item as the last top-level row (PropertyItem::append() on the root item).
    void append(PropertyItem *item);

    /// The item of a valid index of this model, the root item for an invalid index, null for an index of another model.
    PropertyItem *itemFromIndex(const QModelIndex &index) const;
    /// The index of item's name cell; invalid for null, the root item and an item of another model.
    QModelIndex nameIndexFromItem(const PropertyItem *item) const;
    /// The index of item's value cell; invalid for null, the root item and an item of another model.
    QModelIndex valueIndexFromItem(const PropertyItem *item) const;

    /// The cell in row and column (0 name, 1 value) under parent's name cell; invalid outside the tree.
    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override;
    /// The name cell of the item's parent; invalid for top-level rows.
    QModelIndex parent(const QModelIndex &index) const override;
    /// The number of children under a name cell (or the root); 0 under a value cell.
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    /// Always 2: name and value.
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    /**
     * The name for the display and edit roles of a name cell; otherwise the item's
     * PropertyItem::data() of the role, the edit role read as the display role.
     */
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    /**
     * Passes an edit of a value cell to the item's PropertyItem::setData(), which may
     * refuse or convert it; true whenever it was passed. False for a name cell, an
     * invalid index and an index of another model.
     */
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    /// The column titles for the horizontal header's display role; see the class's note on translation.
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    /// The item's flags; a name cell is never editable.
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    /// For a name cell, the value cell beside it, so that editing starts there; any other index unchanged.
    QModelIndex buddy(const QModelIndex &index) const override;

public Q_SLOTS:
    /// Calls PropertyItem::reset() on the root item, which reaches every item of the tree.
    void revert() override;

private:
    friend class PropertyItem;
    QModelIndex indexFromItem(const PropertyItem *item, int column) const;
    PropertyItem *itemOf(const QModelIndex &index) const;

    QScopedPointer<PropertyItem> m_root;
};

#endif // PROPERTYITEMMODEL_H
