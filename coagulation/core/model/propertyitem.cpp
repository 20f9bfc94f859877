#include "propertyitem.h"

#include <QtCore/QtDebug>

#include "propertyitem_p.h"
#include "propertyitemmodel.h"
#include "qvlogging.h"

namespace {

// Variant equality as Qt 5 has it: a value of another type is converted to the
// stored value's type before comparing, so an edit of "5" on 5 changes nothing. Qt 6
// compares values of different types (numbers aside) as unequal.
bool sameValue(const QVariant &stored, const QVariant &value)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    if (stored == value)
        return true;
    if (!stored.isValid() || !value.isValid() || stored.metaType() == value.metaType())
        return false;
    QVariant converted = value;
    return converted.convert(stored.metaType()) && converted == stored;
#else
    return stored == value;
#endif
}

} // namespace

PropertyItem::PropertyItem()
    : d(new PropertyItemPrivate)
{
}

PropertyItem::PropertyItem(const QString &name, const QVariant &value)
    : d(new PropertyItemPrivate)
{
    d->name = name;
    d->values.insert(Qt::DisplayRole, value);
}

PropertyItem::PropertyItem(PropertyItemModel *model)
    : d(new PropertyItemPrivate)
{
    d->model = model;
    d->isRoot = true;
}

PropertyItem::PropertyItem(const PropertyItem &other)
    : d(new PropertyItemPrivate)
{
    d->name = other.d->name;
    d->values = other.d->values;
    d->flags = other.d->flags;
}

PropertyItem &PropertyItem::operator=(const PropertyItem &other)
{
    if (this != &other) {
        d->name = other.d->name;
        d->values = other.d->values;
        d->flags = other.d->flags;
        // Both cells may show something else now.
        const QModelIndex first = index();
        if (first.isValid())
            emit d->model->dataChanged(first, valueIndex());
    }
    return *this;
}

PropertyItem::~PropertyItem()
{
    // Leaving the parent's list keeps the model from holding a dangling row.
    if (d->parent)
        d->parent->remove(this);
    const QList<PropertyItem *> children = d->children;
    d->children.clear();
    for (PropertyItem *child : children) {
        // The child is gone with its parent: nothing to announce.
        child->d->parent = nullptr;
        child->d->model = nullptr;
        delete child;
    }
}

QString PropertyItem::name() const
{
    return d->name;
}

void PropertyItem::setName(const QString &name)
{
    if (d->name == name)
        return;
    d->name = name;
    const QModelIndex cell = index();
    if (cell.isValid())
        emit d->model->dataChanged(cell, cell, {Qt::DisplayRole, Qt::EditRole});
}

QVariant PropertyItem::value() const
{
    return d->values.value(Qt::DisplayRole);
}

Qt::ItemFlags PropertyItem::flags() const
{
    return d->flags;
}

void PropertyItem::setFlags(Qt::ItemFlags flags)
{
    if (d->flags == flags)
        return;
    const QModelIndex name = index();
    if (!name.isValid()) {
        d->flags = flags;
        return;
    }
    // The model decides what each cell shows of the flags (the name cell is
    // never editable), so ask it which cells changed rather than guess.
    const QModelIndex value = valueIndex();
    const Qt::ItemFlags nameBefore = d->model->flags(name);
    const Qt::ItemFlags valueBefore = d->model->flags(value);
    d->flags = flags;
    const bool nameChanged = d->model->flags(name) != nameBefore;
    const bool valueChanged = d->model->flags(value) != valueBefore;
    // Flags are no role: an empty role list has views read the cells again.
    if (nameChanged || valueChanged)
        emit d->model->dataChanged(nameChanged ? name : value, valueChanged ? value : name);
}

void PropertyItem::changeFlags(Qt::ItemFlags flags, bool on)
{
    setFlags(on ? d->flags | flags : d->flags & ~flags);
}

bool PropertyItem::isEditable() const
{
    return d->flags.testFlag(Qt::ItemIsEditable);
}

void PropertyItem::setEditable(bool editable)
{
    changeFlags(Qt::ItemIsEditable, editable);
}

PropertyItem *PropertyItem::parent() const
{
    return d->parent;
}

PropertyItemModel *PropertyItem::model() const
{
    return d->model;
}

QList<PropertyItem *> PropertyItem::children() const
{
    return d->children;
}

int PropertyItem::childCount() const
{
    return d->children.size();
}

PropertyItem *PropertyItem::child(int row) const
{
    return d->children.value(row, nullptr);
}

QModelIndex PropertyItem::index() const
{
    return d->model ? d->model->nameIndexFromItem(this) : QModelIndex();
}

QModelIndex PropertyItem::valueIndex() const
{
    return d->model ? d->model->valueIndexFromItem(this) : QModelIndex();
}

void PropertyItem::append(PropertyItem *child)
{
    insert(d->children.size(), child);
}

void PropertyItem::insert(int position, PropertyItem *child)
{
    if (!child || child == this || child->d->isRoot || child->isAncestorOf(this)) {
        qCWarning(qvModel, "(PropertyItem::insert) Refused: the item would be its own ancestor or "
                           "leave its model without a root");
        return;
    }

    PropertyItem *from = child->d->parent;
    if (from && from->d->model == d->model) {
        moveChild(child, position);
        return;
    }
    // From another model: the old place is cleared and announced in full
    // before the new one is announced, so no view sees the item twice.
    if (from)
        from->remove(child);

    position = qBound(0, position, d->children.size());
    if (d->model)
        d->model->beginInsertRows(index(), position, position);
    d->children.insert(position, child);
    child->d->rowHint = position;
    child->setParentAndModel(this, d->model);
    if (d->model)
        d->model->endInsertRows();
}

void PropertyItem::remove(PropertyItem *child)
{
    if (!child || child->d->parent != this)
        return;
    const int row = child->row();
    if (row < 0)
        return;
    if (d->model)
        d->model->beginRemoveRows(index(), row, row);
    d->children.removeAt(row);
    // Already out of this list, so setParentAndModel has no parent to leave.
    child->d->parent = nullptr;
    child->setParentAndModel(nullptr, nullptr);
    if (d->model)
        d->model->endRemoveRows();
}

int PropertyItem::type() const
{
    return 0;
}

void PropertyItem::setValue(const QVariant &value, bool notify)
{
    static const QVector<int> valueRoles{Qt::DisplayRole, Qt::EditRole};
    d->values.insert(Qt::DisplayRole, value);
    emitDataChanged(valueRoles);
    if (notify)
        notifyParent();
}

void PropertyItem::reset()
{
    const QList<PropertyItem *> children = d->children;
    for (PropertyItem *child : children)
        child->reset();
}

QVariant PropertyItem::data(int role) const
{
    return d->values.value(role);
}

void PropertyItem::setData(const QVariant &value, int role)
{
    if (role == Qt::EditRole)
        role = Qt::DisplayRole;
    if (sameValue(d->values.value(role), value))
        return;
    if (role == Qt::DisplayRole) {
        setValue(value, true);
        return;
    }
    if (value.isValid())
        d->values.insert(role, value);
    else
        d->values.remove(role);
    emitDataChanged({role});
}

void PropertyItem::childChanged(PropertyItem *child)
{
    Q_UNUSED(child)
    notifyParent();
}

void PropertyItem::notifyParent()
{
    if (d->parent)
        d->parent->childChanged(this);
}

void PropertyItem::emitDataChanged()
{
    const QModelIndex cell = valueIndex();
    if (cell.isValid())
        emit d->model->dataChanged(cell, cell);
}

void PropertyItem::emitDataChanged(const QVector<int> &roles)
{
    const QModelIndex value = valueIndex();
    if (!value.isValid())
        return;
    bool valueCellOnly = !roles.isEmpty();
    for (int role : roles)
        valueCellOnly = valueCellOnly && (role == Qt::DisplayRole || role == Qt::EditRole);
    emit d->model->dataChanged(valueCellOnly ? value : index(), value, roles);
}

void PropertyItem::setParentAndModel(PropertyItem *parent, PropertyItemModel *model)
{
    if (d->parent && d->parent != parent)
        d->parent->remove(this);
    if (model != d->model) {
        const QList<PropertyItem *> children = d->children;
        for (PropertyItem *child : children)
            child->setParentAndModel(this, model);
    }
    d->parent = parent;
    d->model = model;
}

int PropertyItem::row() const
{
    const PropertyItem *parent = d->parent;
    if (!parent)
        return -1;
    const QList<PropertyItem *> &list = parent->d->children;
    const int count = list.size();
    if (count == 0)
        return -1;
    const int hint = qBound(0, d->rowHint, count - 1);
    if (list.at(hint) == this)
        return d->rowHint = hint;
    // Rows shift by small amounts after an insertion or removal nearby, so
    // the item is usually a step or two away from where it was last seen.
    for (int up = hint - 1, down = hint + 1; up >= 0 || down < count; --up, ++down) {
        if (down < count && list.at(down) == this)
            return d->rowHint = down;
        if (up >= 0 && list.at(up) == this)
            return d->rowHint = up;
    }
    return -1;
}

// Moves child, held by a parent of this item's model (or, without a model, of
// any detached tree), to position here. Announced as one move, so the item's
// persistent indexes, its selection and its expansion follow it.
void PropertyItem::moveChild(PropertyItem *child, int position)
{
    PropertyItem *from = child->d->parent;
    const int fromRow = child->row();
    int to = 0;
    // beginMoveRows counts the destination row in the list as it was before.
    int destination = 0;
    if (from == this) {
        to = qBound(0, position, d->children.size() - 1);
        if (to == fromRow)
            return;
        destination = to > fromRow ? to + 1 : to;
    } else {
        to = destination = qBound(0, position, d->children.size());
    }
    if (d->model && !d->model->beginMoveRows(from->index(), fromRow, fromRow, index(), destination)) {
        qCWarning(qvModel, "(PropertyItem::insert) Refused: the model does not accept this move");
        return;
    }
    from->d->children.removeAt(fromRow);
    d->children.insert(to, child);
    child->d->parent = this;
    child->d->rowHint = to;
    if (d->model)
        d->model->endMoveRows();
}

bool PropertyItem::isAncestorOf(const PropertyItem *item) const
{
    for (const PropertyItem *p = item ? item->d->parent : nullptr; p; p = p->d->parent) {
        if (p == this)
            return true;
    }
    return false;
}
