#include "propertyitemmodel.h"

#include "propertyitem.h"
#include "propertyitem_p.h"

namespace {
const int NameColumn = 0;
const int ValueColumn = 1;
const int ColumnCount = 2;
} // namespace

PropertyItemModel::PropertyItemModel(QObject *parent)
    : QAbstractItemModel(parent)
    , m_root(new PropertyItem(this))
{
}

PropertyItemModel::~PropertyItemModel() = default;

PropertyItem *PropertyItemModel::rootItem() const
{
    return m_root.data();
}

void PropertyItemModel::append(PropertyItem *item)
{
    m_root->append(item);
}

// Inline for the queries a view makes for every cell: the exported
// itemFromIndex is called through the library's symbol table.
inline PropertyItem *PropertyItemModel::itemOf(const QModelIndex &index) const
{
    if (!index.isValid())
        return m_root.data();
    if (index.model() != this)
        return nullptr;
    return static_cast<PropertyItem *>(index.internalPointer());
}

PropertyItem *PropertyItemModel::itemFromIndex(const QModelIndex &index) const
{
    return itemOf(index);
}

QModelIndex PropertyItemModel::nameIndexFromItem(const PropertyItem *item) const
{
    return indexFromItem(item, NameColumn);
}

QModelIndex PropertyItemModel::valueIndexFromItem(const PropertyItem *item) const
{
    return indexFromItem(item, ValueColumn);
}

QModelIndex PropertyItemModel::indexFromItem(const PropertyItem *item, int column) const
{
    // The root has no parent, and neither has a detached item.
    if (!item || !item->d->parent || item->d->model != this)
        return QModelIndex();
    const int row = item->row();
    if (row < 0)
        return QModelIndex();
    return createIndex(row, column, const_cast<PropertyItem *>(item));
}

QModelIndex PropertyItemModel::index(int row, int column, const QModelIndex &parent) const
{
    if (uint(column) >= uint(ColumnCount) || (parent.isValid() && parent.column() != NameColumn))
        return QModelIndex();
    const PropertyItem *item = itemOf(parent);
    if (!item || uint(row) >= uint(item->d->children.size()))
        return QModelIndex();
    return createIndex(row, column, item->d->children.at(row));
}

QModelIndex PropertyItemModel::parent(const QModelIndex &index) const
{
    const PropertyItem *item = index.isValid() ? itemOf(index) : nullptr;
    const PropertyItem *parent = item ? item->d->parent : nullptr;
    // Views ask this for every cell; top-level rows answer without a look-up.
    if (!parent || parent == m_root.data())
        return QModelIndex();
    return indexFromItem(parent, NameColumn);
}

int PropertyItemModel::rowCount(const QModelIndex &parent) const
{
    if (parent.isValid() && parent.column() != NameColumn)
        return 0;
    const PropertyItem *item = itemOf(parent);
    return item ? item->d->children.size() : 0;
}

int PropertyItemModel::columnCount(const QModelIndex &parent) const
{
    Q_UNUSED(parent)
    return ColumnCount;
}

QVariant PropertyItemModel::data(const QModelIndex &index, int role) const
{
    const PropertyItem *item = index.isValid() ? itemOf(index) : nullptr;
    if (!item)
        return QVariant();
    if (role == Qt::EditRole)
        role = Qt::DisplayRole;
    if (index.column() == NameColumn && role == Qt::DisplayRole)
        return item->d->name;
    return item->data(role);
}

bool PropertyItemModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (index.column() != ValueColumn)
        return false;
    PropertyItem *item = itemOf(index);
    if (!item || item == m_root.data())
        return false;
    item->setData(value, role);
    return true;
}

QVariant PropertyItemModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation == Qt::Horizontal && role == Qt::DisplayRole)
        return section == NameColumn ? tr("名称") : tr("值");
    return QAbstractItemModel::headerData(section, orientation, role);
}

Qt::ItemFlags PropertyItemModel::flags(const QModelIndex &index) const
{
    const PropertyItem *item = index.isValid() ? itemOf(index) : nullptr;
    if (!item)
        return Qt::NoItemFlags;
    Qt::ItemFlags result = item->d->flags;
    if (index.column() == NameColumn)
        result &= ~Qt::ItemIsEditable;
    return result;
}

QModelIndex PropertyItemModel::buddy(const QModelIndex &index) const
{
    if (index.isValid() && index.column() == NameColumn && index.model() == this)
        return this->index(index.row(), ValueColumn, parent(index));
    return index;
}

void PropertyItemModel::revert()
{
    m_root->reset();
}
