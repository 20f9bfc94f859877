#ifndef PROPERTYITEMMODEL_H
#define PROPERTYITEMMODEL_H

#include <QtCore/QAbstractItemModel>
#include <QtCore/QScopedPointer>

#include "qvcore_global.h"

class PropertyItem;

// Shows a tree of PropertyItems as two columns: the name of each item in
// column 0 and its value in column 1. The model owns an invisible root item
// whose children are the top-level rows; an invalid index stands for it.
// Every valid index carries its row's item as the internal pointer. Children
// hang under the name cell only: a value cell has no rows.
class QVCORE_EXPORT PropertyItemModel : public QAbstractItemModel
{
    Q_OBJECT

public:
    explicit PropertyItemModel(QObject *parent = nullptr);
    ~PropertyItemModel() override;

    PropertyItem *rootItem() const;
    void append(PropertyItem *item);

    // The item of a valid index of this model, the root item for an invalid
    // index, null for an index of another model.
    PropertyItem *itemFromIndex(const QModelIndex &index) const;
    QModelIndex nameIndexFromItem(const PropertyItem *item) const;
    QModelIndex valueIndexFromItem(const PropertyItem *item) const;

    QModelIndex index(int row, int column, const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &index) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QModelIndex buddy(const QModelIndex &index) const override;

public slots:
    // Resets every item of the tree, each before its children.
    void revert() override;

private:
    friend class PropertyItem;
    QModelIndex indexFromItem(const PropertyItem *item, int column) const;
    PropertyItem *itemOf(const QModelIndex &index) const;

    QScopedPointer<PropertyItem> m_root;
};

#endif // PROPERTYITEMMODEL_H
