#include <QtCore/QRandomGenerator>
#include <QtTest/QAbstractItemModelTester>
#include <QtTest/QSignalSpy>
#include <QtTest/QtTest>
#include <QtWidgets/QTreeView>

#include <memory>

#include <propertyitem.h>
#include <propertyitemmodel.h>

namespace {

PropertyItem *item(const QString &name, const QVariant &value = QVariant())
{
    return new PropertyItem(name, value);
}

QStringList childNames(const PropertyItem *parent)
{
    QStringList names;
    const QList<PropertyItem *> children = parent->children();
    for (const PropertyItem *child : children)
        names << child->name();
    return names;
}

void collect(PropertyItem *parent, QList<PropertyItem *> *items)
{
    const QList<PropertyItem *> children = parent->children();
    for (PropertyItem *child : children) {
        items->append(child);
        collect(child, items);
    }
}

int depth(const PropertyItem *item)
{
    int levels = 0;
    for (; item->parent(); item = item->parent())
        ++levels;
    return levels;
}

// Whether ancestor is item itself or above it.
bool within(const PropertyItem *item, const PropertyItem *ancestor)
{
    for (; item; item = item->parent()) {
        if (item == ancestor)
            return true;
    }
    return false;
}

// Levels below the item: 0 for a leaf.
int height(const PropertyItem *item)
{
    int levels = 0;
    const QList<PropertyItem *> children = item->children();
    for (const PropertyItem *child : children)
        levels = qMax(levels, 1 + height(child));
    return levels;
}

int occurrences(const PropertyItem *parent, const PropertyItem *wanted)
{
    int count = 0;
    const QList<PropertyItem *> children = parent->children();
    for (const PropertyItem *child : children)
        count += (child == wanted) + occurrences(child, wanted);
    return count;
}

// Logs the row notifications of several models as "<tag> <kind> <parent> <row>"
// (a move adds "to <parent> <row>") and checks, at each of them, that a watched item is in at most one child
// list of all the watched models and that the announced row matches the tree.
class RowLog
{
public:
    void watch(PropertyItemModel *model, const QString &tag)
    {
        m_models << model;
        auto name = [model](const QModelIndex &parent) {
            const PropertyItem *p = model->itemFromIndex(parent);
            return p == model->rootItem() ? QStringLiteral("root") : p->name();
        };
        auto log = [=](const char *kind, const QModelIndex &parent, int first, int last) {
            entries << QStringLiteral("%1 %2 %3 %4").arg(tag, QLatin1String(kind), name(parent)).arg(first);
            if (first != last)
                faults << QStringLiteral("more than one row announced");
            int total = 0;
            for (const PropertyItemModel *m : qAsConst(m_models))
                total += occurrences(m->rootItem(), watched);
            if (watched && total > 1)
                faults << QStringLiteral("%1 seen in %2 lists at '%3 %4'").arg(watched->name()).arg(total).arg(tag, kind);
        };
        QObject::connect(model, &QAbstractItemModel::rowsAboutToBeInserted, model,
                         [=](const QModelIndex &p, int f, int l) { log("+ins", p, f, l); });
        QObject::connect(model, &QAbstractItemModel::rowsInserted, model, [=](const QModelIndex &p, int f, int l) {
            log("ins", p, f, l);
            if (watched && model->itemFromIndex(model->index(f, 0, p)) != watched)
                faults << QStringLiteral("inserted row does not hold the item");
        });
        QObject::connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, model,
                         [=](const QModelIndex &p, int f, int l) {
            log("+rem", p, f, l);
            if (watched && model->itemFromIndex(model->index(f, 0, p)) != watched)
                faults << QStringLiteral("removed row does not hold the item");
        });
        QObject::connect(model, &QAbstractItemModel::rowsRemoved, model,
                         [=](const QModelIndex &p, int f, int l) { log("rem", p, f, l); });
        QObject::connect(model, &QAbstractItemModel::rowsAboutToBeMoved, model,
                         [=](const QModelIndex &p, int f, int l, const QModelIndex &to, int row) {
            log("+mov", p, f, l);
            entries.last() += QStringLiteral(" to %1 %2").arg(name(to)).arg(row);
            if (watched && model->itemFromIndex(model->index(f, 0, p)) != watched)
                faults << QStringLiteral("moved row does not hold the item");
        });
        QObject::connect(model, &QAbstractItemModel::rowsMoved, model,
                         [=](const QModelIndex &p, int f, int l, const QModelIndex &to, int row) {
            log("mov", p, f, l);
            entries.last() += QStringLiteral(" to %1 %2").arg(name(to)).arg(row);
            if (watched && model->parent(watched->index()) != to)
                faults << QStringLiteral("moved item is not under the destination");
        });
    }

    PropertyItem *watched = nullptr;
    QStringList entries;
    QStringList faults;

private:
    QList<PropertyItemModel *> m_models;
};

// Logs the order in which reset reaches the items.
class ResettingItem : public PropertyItem
{
public:
    ResettingItem(const QString &name, QStringList *log) : PropertyItem(name, QVariant()), m_log(log) {}
    void reset() override
    {
        m_log->append(name());
        PropertyItem::reset();
    }

private:
    QStringList *m_log;
};

} // namespace

class tst_PropertyItemModel : public QObject
{
    Q_OBJECT

private slots:
    void newModelIsEmpty();
    void indexesAndParents();
    void valueCellsHaveNoChildren();
    void data_data();
    void data();
    void setDataOnlyInTheValueColumn();
    void flags_data();
    void flags();
    void buddyOfANameCellIsItsValueCell();
    void headerData_data();
    void headerData();
    void itemsAndIndexes();
    void revertResetsEveryItemBeforeItsChildren();
    void moveNotifications_data();
    void moveNotifications();
    void movesKeepViewState_data();
    void movesKeepViewState();
    void rowsStayCorrectInALargeList_data();
    void rowsStayCorrectInALargeList();
    void testerPassesUnderScriptedEdits();
    void testerPassesUnderRandomEdits();
};

void tst_PropertyItemModel::newModelIsEmpty()
{
    PropertyItemModel model;
    QCOMPARE(model.rowCount(QModelIndex()), 0);
    QCOMPARE(model.columnCount(QModelIndex()), 2);
    QVERIFY(model.rootItem());
    QCOMPARE(model.rootItem()->model(), &model);
    QVERIFY(!model.rootItem()->index().isValid());
    QVERIFY(!model.rootItem()->valueIndex().isValid());

    model.append(item("a"));
    model.append(item("b"));
    QCOMPARE(model.rowCount(QModelIndex()), 2);
    QCOMPARE(childNames(model.rootItem()), QStringList({"a", "b"}));
}

void tst_PropertyItemModel::indexesAndParents()
{
    PropertyItemModel model;
    PropertyItem *top = item("top");
    PropertyItem *child = item("child");
    model.append(item("first"));
    model.append(top);
    top->append(child);

    QVERIFY(!model.index(0, 2, QModelIndex()).isValid());
    QVERIFY(!model.index(-1, 0, QModelIndex()).isValid());
    QVERIFY(!model.index(2, 0, QModelIndex()).isValid());
    QVERIFY(!model.index(0, -1, QModelIndex()).isValid());

    const QModelIndex topName = model.index(1, 0);
    QCOMPARE(model.itemFromIndex(topName), top);
    QCOMPARE(topName, top->index());
    QCOMPARE(model.index(1, 1), top->valueIndex());
    QVERIFY(!model.parent(topName).isValid());
    QVERIFY(!model.parent(QModelIndex()).isValid());

    // The parent is the name cell, whichever cell of the child is asked.
    for (int column = 0; column < 2; ++column) {
        const QModelIndex cell = model.index(0, column, topName);
        QCOMPARE(model.itemFromIndex(cell), child);
        QCOMPARE(model.parent(cell), topName);
    }
    QCOMPARE(model.rowCount(topName), 1);
    QCOMPARE(model.columnCount(topName), 2);
}

void tst_PropertyItemModel::valueCellsHaveNoChildren()
{
    PropertyItemModel model;
    PropertyItem *top = item("top");
    model.append(top);
    top->append(item("child"));

    QCOMPARE(model.rowCount(top->valueIndex()), 0);
    QVERIFY(!model.hasChildren(top->valueIndex()));
    QVERIFY(!model.index(0, 0, top->valueIndex()).isValid());
    QVERIFY(!model.index(0, 1, top->valueIndex()).isValid());
    QCOMPARE(model.rowCount(top->index()), 1);
}

void tst_PropertyItemModel::data_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("role");
    QTest::addColumn<QVariant>("expected");

    QTest::newRow("name cell, display") << 0 << int(Qt::DisplayRole) << QVariant(QStringLiteral("speed"));
    QTest::newRow("name cell, edit") << 0 << int(Qt::EditRole) << QVariant(QStringLiteral("speed"));
    QTest::newRow("name cell, tool tip") << 0 << int(Qt::ToolTipRole) << QVariant(QStringLiteral("rpm"));
    QTest::newRow("value cell, display") << 1 << int(Qt::DisplayRole) << QVariant(1200);
    QTest::newRow("value cell, edit") << 1 << int(Qt::EditRole) << QVariant(1200);
    QTest::newRow("value cell, tool tip") << 1 << int(Qt::ToolTipRole) << QVariant(QStringLiteral("rpm"));
    QTest::newRow("value cell, missing role") << 1 << int(Qt::DecorationRole) << QVariant();
}

void tst_PropertyItemModel::data()
{
    QFETCH(int, column);
    QFETCH(int, role);
    QFETCH(QVariant, expected);

    PropertyItemModel model;
    PropertyItem *speed = item("speed", 1200);
    speed->setData(QStringLiteral("rpm"), Qt::ToolTipRole);
    model.append(speed);

    QCOMPARE(model.data(model.index(0, column), role), expected);
    QVERIFY(!model.data(QModelIndex(), role).isValid());
}

void tst_PropertyItemModel::setDataOnlyInTheValueColumn()
{
    PropertyItemModel model;
    PropertyItem *speed = item("speed", 1200);
    model.append(speed);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);

    QVERIFY(!model.setData(speed->index(), QStringLiteral("renamed")));
    QVERIFY(!model.setData(QModelIndex(), 5));
    QCOMPARE(speed->name(), QStringLiteral("speed"));
    QCOMPARE(speed->value(), QVariant(1200));
    QCOMPARE(changed.count(), 0);

    // True even when nothing changes; only a change is announced.
    QVERIFY(model.setData(speed->valueIndex(), 1200));
    QCOMPARE(changed.count(), 0);
    QVERIFY(model.setData(speed->valueIndex(), 1500));
    QCOMPARE(speed->value(), QVariant(1500));
    QCOMPARE(changed.count(), 1);
    QVERIFY(model.setData(speed->valueIndex(), QStringLiteral("tip"), Qt::ToolTipRole));
    QCOMPARE(speed->data(Qt::ToolTipRole), QVariant(QStringLiteral("tip")));
}

void tst_PropertyItemModel::flags_data()
{
    QTest::addColumn<int>("itemFlags");
    QTest::addColumn<int>("nameFlags");
    QTest::addColumn<int>("valueFlags");

    const int editable = Qt::ItemIsSelectable | Qt::ItemIsEditable | Qt::ItemIsEnabled;
    const int readOnly = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    QTest::newRow("editable item") << editable << readOnly << editable;
    QTest::newRow("read-only item") << readOnly << readOnly << readOnly;
    QTest::newRow("checkable, disabled") << int(Qt::ItemIsUserCheckable | Qt::ItemIsEditable)
                                         << int(Qt::ItemIsUserCheckable)
                                         << int(Qt::ItemIsUserCheckable | Qt::ItemIsEditable);
}

void tst_PropertyItemModel::flags()
{
    QFETCH(int, itemFlags);
    QFETCH(int, nameFlags);
    QFETCH(int, valueFlags);

    PropertyItemModel model;
    PropertyItem *entry = item("entry");
    entry->setFlags(Qt::ItemFlags(itemFlags));
    model.append(entry);

    QCOMPARE(int(model.flags(entry->index())), nameFlags);
    QCOMPARE(int(model.flags(entry->valueIndex())), valueFlags);
    QCOMPARE(int(model.flags(QModelIndex())), 0);
}

void tst_PropertyItemModel::buddyOfANameCellIsItsValueCell()
{
    PropertyItemModel model;
    PropertyItem *top = item("top");
    PropertyItem *child = item("child");
    model.append(top);
    top->append(item("before"));
    top->append(child);

    QCOMPARE(model.buddy(top->index()), top->valueIndex());
    QCOMPARE(model.buddy(child->index()), child->valueIndex());
    QCOMPARE(model.buddy(child->valueIndex()), child->valueIndex());
    QCOMPARE(model.buddy(QModelIndex()), QModelIndex());
}

void tst_PropertyItemModel::headerData_data()
{
    QTest::addColumn<int>("section");
    QTest::addColumn<int>("orientation");
    QTest::addColumn<int>("role");
    QTest::addColumn<QVariant>("expected");

    QTest::newRow("name column") << 0 << int(Qt::Horizontal) << int(Qt::DisplayRole)
                                 << QVariant(QString::fromUtf8("名称"));
    QTest::newRow("value column") << 1 << int(Qt::Horizontal) << int(Qt::DisplayRole)
                                  << QVariant(QString::fromUtf8("值"));
    QTest::newRow("any later section") << 7 << int(Qt::Horizontal) << int(Qt::DisplayRole)
                                       << QVariant(QString::fromUtf8("值"));
    // Anything else is the base class's answer: the section number from one.
    QTest::newRow("vertical") << 0 << int(Qt::Vertical) << int(Qt::DisplayRole) << QVariant(1);
    QTest::newRow("other role") << 0 << int(Qt::Horizontal) << int(Qt::ToolTipRole) << QVariant();
}

void tst_PropertyItemModel::headerData()
{
    QFETCH(int, section);
    QFETCH(int, orientation);
    QFETCH(int, role);
    QFETCH(QVariant, expected);

    PropertyItemModel model;
    QCOMPARE(model.headerData(section, Qt::Orientation(orientation), role), expected);
}

void tst_PropertyItemModel::itemsAndIndexes()
{
    PropertyItemModel model;
    PropertyItemModel other;
    PropertyItem *top = item("top");
    model.append(top);
    other.append(item("foreign"));
    PropertyItem detached;

    QCOMPARE(model.itemFromIndex(QModelIndex()), model.rootItem());
    QCOMPARE(model.itemFromIndex(top->valueIndex()), top);
    QVERIFY(!model.itemFromIndex(other.index(0, 0)));
    QVERIFY(!model.data(other.index(0, 0)).isValid());
    QVERIFY(!model.nameIndexFromItem(model.rootItem()).isValid());
    QVERIFY(!model.valueIndexFromItem(model.rootItem()).isValid());
    QVERIFY(!model.nameIndexFromItem(&detached).isValid());
    QVERIFY(!model.nameIndexFromItem(nullptr).isValid());
    QVERIFY(!model.nameIndexFromItem(other.rootItem()->child(0)).isValid());
    QCOMPARE(model.nameIndexFromItem(top).column(), 0);
    QCOMPARE(model.valueIndexFromItem(top).column(), 1);
}

void tst_PropertyItemModel::revertResetsEveryItemBeforeItsChildren()
{
    QStringList log;
    PropertyItemModel model;
    auto *a = new ResettingItem("a", &log);
    auto *a1 = new ResettingItem("a1", &log);
    auto *b = new ResettingItem("b", &log);
    model.append(a);
    model.append(b);
    a->append(a1);
    a1->append(new ResettingItem("a1x", &log));
    a->append(new ResettingItem("a2", &log));
    b->append(new ResettingItem("b1", &log));

    model.revert();
    QCOMPARE(log, QStringList({"a", "a1", "a1x", "a2", "b", "b1"}));
}

void tst_PropertyItemModel::moveNotifications_data()
{
    QTest::addColumn<QString>("move");
    QTest::addColumn<QString>("moved");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<QString>("newParent");
    QTest::addColumn<QString>("newModel");

    // Model A: p [x [x1], y], q [z]. Model B: r. A detached item d.
    // Within one model a move is one notification; the destination row
    // counts the rows as they were before the move.
    QTest::newRow("up within one parent") << "y to p at 0" << "y"
        << QStringList{"A +mov p 1 to p 0", "A mov p 1 to p 0"} << "p" << "A";
    QTest::newRow("down within one parent") << "x to p at 1" << "x"
        << QStringList{"A +mov p 0 to p 2", "A mov p 0 to p 2"} << "p" << "A";
    QTest::newRow("between parents") << "x to q" << "x"
        << QStringList{"A +mov p 0 to q 1", "A mov p 0 to q 1"} << "q" << "A";
    QTest::newRow("top-level row under another") << "p to q" << "p"
        << QStringList{"A +mov root 0 to q 1", "A mov root 0 to q 1"} << "q" << "A";
    QTest::newRow("child up to the top") << "x to A" << "x"
        << QStringList{"A +mov p 0 to root 2", "A mov p 0 to root 2"} << "root" << "A";
    QTest::newRow("into the model") << "d to p" << "d"
        << QStringList{"A +ins p 2", "A ins p 2"} << "p" << "A";
    QTest::newRow("out of the model") << "remove x" << "x"
        << QStringList{"A +rem p 0", "A rem p 0"} << "" << "";
    QTest::newRow("into another model") << "x to r" << "x"
        << QStringList{"A +rem p 0", "A rem p 0", "B +ins r 0", "B ins r 0"} << "r" << "B";
    QTest::newRow("top level of another model") << "q to B" << "q"
        << QStringList{"A +rem root 1", "A rem root 1", "B +ins root 1", "B ins root 1"} << "root" << "B";
}

void tst_PropertyItemModel::moveNotifications()
{
    QFETCH(QString, move);
    QFETCH(QString, moved);
    QFETCH(QStringList, expected);
    QFETCH(QString, newParent);
    QFETCH(QString, newModel);

    PropertyItemModel a;
    PropertyItemModel b;
    QAbstractItemModelTester testerA(&a, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QAbstractItemModelTester testerB(&b, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QHash<QString, PropertyItem *> items;
    for (const char *name : {"p", "x", "x1", "y", "q", "z", "r", "d"})
        items.insert(name, item(name));
    a.append(items["p"]);
    a.append(items["q"]);
    items["p"]->append(items["x"]);
    items["p"]->append(items["y"]);
    items["x"]->append(items["x1"]);
    items["q"]->append(items["z"]);
    b.append(items["r"]);
    std::unique_ptr<PropertyItem> detached(items["d"]);

    RowLog log;
    log.watch(&a, "A");
    log.watch(&b, "B");
    PropertyItem *item = items[moved];
    log.watched = item;

    if (move == "y to p at 0")
        items["p"]->insert(0, item);
    else if (move == "x to p at 1")
        items["p"]->insert(1, item);
    else if (move == "x to q" || move == "p to q")
        items["q"]->append(item);
    else if (move == "x to A")
        a.append(item);
    else if (move == "d to p")
        items["p"]->append(detached.release());
    else if (move == "remove x")
        items["p"]->remove(item);
    else if (move == "x to r")
        items["r"]->append(item);
    else if (move == "q to B")
        b.append(item);
    QScopedPointer<PropertyItem> owner(newModel.isEmpty() ? item : nullptr);

    QCOMPARE(log.entries, expected);
    QCOMPARE(log.faults, QStringList());

    PropertyItemModel *model = newModel == "A" ? &a : newModel == "B" ? &b : nullptr;
    PropertyItem *parent = newParent == "root" ? model->rootItem() : items.value(newParent);
    QCOMPARE(item->parent(), parent);
    QCOMPARE(item->model(), model);
    QList<PropertyItem *> subtree;
    collect(item, &subtree);
    for (const PropertyItem *descendant : qAsConst(subtree))
        QCOMPARE(descendant->model(), model);
    if (model) {
        QCOMPARE(occurrences(model->rootItem(), item), 1);
        QCOMPARE(model->itemFromIndex(item->index()), item);
    }
}

void tst_PropertyItemModel::movesKeepViewState_data()
{
    QTest::addColumn<QString>("moved");
    QTest::addColumn<QString>("newParent"); // an item, "root", or "other" for the other model's root
    QTest::addColumn<int>("position");

    // Model: p [a [a1], b [b1], c [c1]], q [d [d1]]. The other model: r.
    QTest::newRow("reorder down") << "a" << "p" << 2;
    QTest::newRow("reorder up") << "c" << "p" << 0;
    QTest::newRow("to another parent") << "a" << "q" << 0;
    QTest::newRow("into a deeper level") << "q" << "b" << 1;
    QTest::newRow("up to the top, ahead of its old parent") << "b" << "root" << 0;
    QTest::newRow("between models") << "a" << "other" << 0;
}

// What a user has in a view (the indexes kept by a delegate or a caller, the
// selection, the current item, the expanded branches) follows an item moved
// within its model; moved to another model, it is dropped cleanly. Afterwards
// the item's changes are announced at its new place.
void tst_PropertyItemModel::movesKeepViewState()
{
    QFETCH(QString, moved);
    QFETCH(QString, newParent);
    QFETCH(int, position);

    PropertyItemModel model;
    PropertyItemModel other;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QAbstractItemModelTester otherTester(&other, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QHash<QString, PropertyItem *> items;
    for (const char *name : {"p", "a", "a1", "b", "b1", "c", "c1", "q", "d", "d1", "r"})
        items.insert(name, item(name, 0));
    model.append(items["p"]);
    model.append(items["q"]);
    for (const char *name : {"a", "b", "c"}) {
        items["p"]->append(items[name]);
        items[name]->append(items[QString(name) + "1"]);
    }
    items["q"]->append(items["d"]);
    items["d"]->append(items["d1"]);
    other.append(items["r"]);

    QTreeView view;
    view.setModel(&model);
    view.show();
    view.expandAll();
    QItemSelectionModel *selection = view.selectionModel();
    PropertyItem *item = items[moved];
    selection->select(item->index(), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    selection->setCurrentIndex(item->valueIndex(), QItemSelectionModel::NoUpdate);
    QHash<PropertyItem *, QPersistentModelIndex> kept;
    QList<PropertyItem *> all;
    collect(model.rootItem(), &all);
    for (PropertyItem *entry : qAsConst(all)) {
        kept.insert(entry, entry->index());
        QVERIFY(view.isExpanded(entry->index()));
    }
    const QPersistentModelIndex keptValue = item->valueIndex();
    PropertyItem *oldParent = item->parent();
    const int oldRow = item->index().row();

    PropertyItem *parent = newParent == "root" ? model.rootItem()
                         : newParent == "other" ? other.rootItem() : items.value(newParent);
    parent->insert(position, item);
    PropertyItemModel *target = newParent == "other" ? &other : &model;
    QCOMPARE(item->parent(), parent);
    QCOMPARE(target->index(position, 0, parent->index()), item->index());

    for (PropertyItem *entry : qAsConst(all)) {
        if (entry->model() == &model) {
            QCOMPARE(kept.value(entry), QPersistentModelIndex(entry->index()));
            QVERIFY(view.isExpanded(entry->index()));
        } else {
            QVERIFY(!kept.value(entry).isValid());
        }
    }
    if (target == &model) {
        QCOMPARE(keptValue, QPersistentModelIndex(item->valueIndex()));
        QCOMPARE(selection->currentIndex(), item->valueIndex());
        const QModelIndexList selected = selection->selectedIndexes();
        QCOMPARE(QSet<QModelIndex>(selected.begin(), selected.end()),
                 QSet<QModelIndex>({item->index(), item->valueIndex()}));
    } else {
        QVERIFY(!keptValue.isValid());
        // A single-selection view hands the current cell, and the selection,
        // to the row that takes the removed one's place.
        const QModelIndex successor = model.index(oldRow, 1, oldParent->index());
        QCOMPARE(selection->currentIndex(), successor);
        QCOMPARE(selection->selectedIndexes(), QModelIndexList({successor.siblingAtColumn(0), successor}));
    }

    // The item's own row is announced where it now is.
    QSignalSpy changed(target, &QAbstractItemModel::dataChanged);
    item->setName(QStringLiteral("renamed"));
    item->setEditable(false);
    QCOMPARE(changed.count(), 2);
    QCOMPARE(changed.at(0).at(0).toModelIndex(), item->index());
    QCOMPARE(changed.at(0).at(1).toModelIndex(), item->index());
    QCOMPARE(changed.at(1).at(0).toModelIndex(), item->valueIndex());
    QCOMPARE(target->data(target->index(position, 0, parent->index())), QVariant(QStringLiteral("renamed")));
}

void tst_PropertyItemModel::rowsStayCorrectInALargeList_data()
{
    QTest::addColumn<QString>("edit");
    QTest::newRow("insert at the front") << "front";
    QTest::newRow("remove from the middle") << "middle";
    QTest::newRow("move the last to the front") << "last";
    QTest::newRow("reverse the order") << "reverse";
}

void tst_PropertyItemModel::rowsStayCorrectInALargeList()
{
    QFETCH(QString, edit);

    PropertyItemModel model;
    PropertyItem *root = model.rootItem();
    for (int i = 0; i < 2000; ++i)
        model.append(item(QString::number(i)));
    // Every item has been looked up once, so every row hint is set.
    for (int row = 0; row < 2000; ++row)
        QCOMPARE(model.parent(model.index(row, 1)), QModelIndex());

    if (edit == "front") {
        root->insert(0, item("new"));
    } else if (edit == "middle") {
        delete root->child(1000);
    } else if (edit == "last") {
        root->insert(0, root->child(1999));
    } else if (edit == "reverse") {
        for (int row = 1; row < 2000; ++row)
            root->insert(0, root->child(row));
    }

    const QList<PropertyItem *> children = root->children();
    for (int row = 0; row < children.size(); ++row) {
        PropertyItem *child = children.at(row);
        QCOMPARE(child->index().row(), row);
        QCOMPARE(model.itemFromIndex(model.index(row, 0)), child);
    }
    if (edit == "reverse")
        QCOMPARE(root->child(0)->name(), QStringLiteral("1999"));
}

void tst_PropertyItemModel::testerPassesUnderScriptedEdits()
{
    PropertyItemModel model;
    PropertyItemModel other;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QAbstractItemModelTester otherTester(&other, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QTreeView view;
    view.setModel(&model);
    view.show();

    // Three levels: group > entry > detail.
    PropertyItem *colours = item("colours");
    PropertyItem *texts = item("texts");
    model.append(colours);
    model.append(texts);
    for (int i = 0; i < 3; ++i) {
        PropertyItem *entry = item(QStringLiteral("colour %1").arg(i), QColor(Qt::red));
        colours->append(entry);
        entry->append(item("alpha", 255));
        texts->append(item(QStringLiteral("text %1").arg(i), QStringLiteral("t")));
    }
    view.expandAll();

    PropertyItem *entry = colours->child(1);
    texts->insert(1, entry);                       // between parents, subtree along
    texts->insert(0, entry);                       // within one parent
    entry->child(0)->setData(128, Qt::EditRole);   // edit at the third level
    model.setData(entry->valueIndex(), QColor(Qt::blue));
    other.append(entry);                           // into another model
    view.expandAll();
    colours->child(0)->append(entry);              // and back, one level lower
    entry->child(0)->setData(QStringLiteral("tip"), Qt::ToolTipRole);
    model.rootItem()->insert(1, colours->child(0)); // a second level up to the top
    delete texts->child(0);
    PropertyItem *taken = colours;
    model.rootItem()->remove(taken);
    delete taken;
    model.revert();
    view.expandAll();

    QCOMPARE(childNames(model.rootItem()), QStringList({"colour 0", "texts"}));
    QCOMPARE(childNames(model.rootItem()->child(0)), QStringList({"alpha", "colour 1"}));
    QCOMPARE(entry->child(0)->value(), QVariant(128));
    QCOMPARE(entry->value(), QVariant(QColor(Qt::blue)));
    QCOMPARE(other.rowCount(), 0);
}

void tst_PropertyItemModel::testerPassesUnderRandomEdits()
{
    PropertyItemModel model;
    PropertyItemModel other;
    QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QAbstractItemModelTester otherTester(&other, QAbstractItemModelTester::FailureReportingMode::Fatal);
    QTreeView view;
    view.setModel(&model);
    view.show();

    QRandomGenerator random(20260808);
    int created = 0;
    int moves = 0;
    int crossings = 0;
    int deletions = 0;
    for (int step = 0; step < 800; ++step) {
        PropertyItemModel *target = random.bounded(4) == 0 ? &other : &model;
        QList<PropertyItem *> all;
        collect(target->rootItem(), &all);
        all.prepend(target->rootItem());
        PropertyItem *parent = all.at(random.bounded(all.size()));
        PropertyItem *subject = all.size() > 1 ? all.at(1 + random.bounded(all.size() - 1)) : nullptr;

        switch (random.bounded(7)) {
        case 0:
        case 1:
            if (all.size() < 40 && depth(parent) < 3) {
                ++created;
                parent->insert(random.bounded(-1, parent->childCount() + 2),
                               item(QString::number(created), created));
            }
            break;
        case 2:
        case 6: {
            // Move within this model or across to the other one, three levels at most.
            PropertyItemModel *destination = random.bounded(3) == 0 ? (target == &model ? &other : &model) : target;
            QList<PropertyItem *> places;
            collect(destination->rootItem(), &places);
            places.prepend(destination->rootItem());
            PropertyItem *place = places.at(random.bounded(places.size()));
            if (subject && !within(place, subject) && depth(place) + 1 + height(subject) <= 3) {
                place->insert(random.bounded(-1, place->childCount() + 2), subject);
                ++moves;
                crossings += destination != target;
            }
            break;
        }
        case 3:
            if (subject) {
                ++deletions;
                if (random.bounded(2))
                    subject->parent()->remove(subject); // else it leaves as it is destroyed
                delete subject;
            }
            break;
        case 4:
            if (subject)
                target->setData(subject->valueIndex(), random.bounded(5));
            break;
        case 5:
            if (subject)
                subject->setData(random.bounded(2) ? QVariant(QStringLiteral("tip")) : QVariant(),
                                 Qt::ToolTipRole);
            break;
        }
        if (step % 50 == 0)
            view.expandAll();
    }

    // Every item still sits where its index says, once, with its model.
    for (PropertyItemModel *m : {&model, &other}) {
        QList<PropertyItem *> all;
        collect(m->rootItem(), &all);
        for (PropertyItem *entry : qAsConst(all)) {
            QCOMPARE(entry->model(), m);
            QCOMPARE(occurrences(m->rootItem(), entry), 1);
            QCOMPARE(m->itemFromIndex(m->index(entry->index().row(), 0, m->parent(entry->index()))), entry);
            QVERIFY(depth(entry) <= 3);
        }
    }
    // The run did exercise every kind of change.
    QVERIFY2(created > 100 && moves > 60 && crossings > 15 && deletions > 40,
             qPrintable(QStringLiteral("%1 created, %2 moves (%3 across), %4 deleted")
                            .arg(created).arg(moves).arg(crossings).arg(deletions)));
}

QTEST_MAIN(tst_PropertyItemModel)
#include "tst_propertyitemmodel.moc"
