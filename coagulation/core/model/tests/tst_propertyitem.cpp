#include <QtGui/QColor>
#include <QtTest/QSignalSpy>
#include <QtTest/QtTest>

#include <propertyitem.h>
#include <propertyitemmodel.h>

namespace {

using ChangeLog = QVector<QPair<PropertyItem *, PropertyItem *>>;

// Records every childChanged it receives, then passes it on as the base does.
class RecordingItem : public PropertyItem
{
public:
    RecordingItem(const QString &name, ChangeLog *log, const QVariant &value = QVariant())
        : PropertyItem(name, value), m_log(log) { ++alive; }
    ~RecordingItem() override { --alive; }

    static int alive;

protected:
    void childChanged(PropertyItem *child) override
    {
        if (m_log)
            m_log->append(qMakePair(static_cast<PropertyItem *>(this), child));
        PropertyItem::childChanged(child);
    }

private:
    ChangeLog *m_log;
};

int RecordingItem::alive = 0;

QStringList childNames(const PropertyItem *item)
{
    QStringList names;
    const QList<PropertyItem *> children = item->children();
    for (const PropertyItem *child : children)
        names << child->name();
    return names;
}

PropertyItem *addChildren(PropertyItem *parent, const QStringList &names)
{
    for (const QString &name : names)
        parent->append(new PropertyItem(name, QVariant()));
    return parent;
}

} // namespace

class tst_PropertyItem : public QObject
{
    Q_OBJECT

private slots:
    void constructedItems();
    void setData_data();
    void setData();
    void setValueWithoutNotifySignalsEvenWhenEqual();
    void childChangedClimbsToTheTop_data();
    void childChangedClimbsToTheTop();
    void insertClampsPosition_data();
    void insertClampsPosition();
    void insertingAHeldChildMovesIt_data();
    void insertingAHeldChildMovesIt();
    void refusedInsertions_data();
    void refusedInsertions();
    void removeDetachesTheSubtree();
    void removeOfANonChildDoesNothing();
    void attributeSettersAnnounceTheirCells_data();
    void attributeSettersAnnounceTheirCells();
    void copyIsDetachedAndChildless();
    void destroyingAnItem();
};

void tst_PropertyItem::constructedItems()
{
    const PropertyItem plain;
    QCOMPARE(plain.name(), QString());
    QVERIFY(!plain.value().isValid());
    QCOMPARE(int(plain.flags()), 35);
    QVERIFY(plain.isEditable());
    QCOMPARE(plain.type(), 0);
    QVERIFY(!plain.parent());
    QVERIFY(!plain.model());
    QVERIFY(!plain.index().isValid());
    QVERIFY(!plain.valueIndex().isValid());

    const PropertyItem named(QStringLiteral("speed"), 12);
    QCOMPARE(named.name(), QStringLiteral("speed"));
    QCOMPARE(named.value(), QVariant(12));
    QCOMPARE(named.data(Qt::DisplayRole), QVariant(12));
    QVERIFY(!named.data(Qt::EditRole).isValid());
}

void tst_PropertyItem::setData_data()
{
    QTest::addColumn<QVariant>("toolTip");
    QTest::addColumn<QVariant>("newValue");
    QTest::addColumn<int>("role");
    QTest::addColumn<QVariant>("expectedValue");
    QTest::addColumn<QVariant>("expectedToolTip");
    QTest::addColumn<int>("dataChanges");
    QTest::addColumn<int>("parentCalls");

    const QVariant none;
    const QVariant tip(QStringLiteral("tip"));
    QTest::newRow("edit role stores the value") << none << QVariant(7) << int(Qt::EditRole)
                                                << QVariant(7) << none << 1 << 1;
    QTest::newRow("display role stores the value") << none << QVariant(7) << int(Qt::DisplayRole)
                                                   << QVariant(7) << none << 1 << 1;
    QTest::newRow("equal value changes nothing") << none << QVariant(1) << int(Qt::EditRole)
                                                 << QVariant(1) << none << 0 << 0;
    // Equal after conversion to the stored type, as a colour and its name.
    const QVariant red = QColor(Qt::red);
    QTest::newRow("equal data of another type changes nothing")
        << red << QVariant(QStringLiteral("#ff0000")) << int(Qt::ToolTipRole) << QVariant(1) << red << 0 << 0;
    QTest::newRow("new tool tip, parent not told") << none << tip << int(Qt::ToolTipRole)
                                                   << QVariant(1) << tip << 1 << 0;
    QTest::newRow("invalid value removes the role") << tip << none << int(Qt::ToolTipRole)
                                                    << QVariant(1) << none << 1 << 0;
    QTest::newRow("removing a missing role does nothing") << none << none << int(Qt::ToolTipRole)
                                                          << QVariant(1) << none << 0 << 0;
    QTest::newRow("equal tool tip changes nothing") << tip << tip << int(Qt::ToolTipRole)
                                                    << QVariant(1) << tip << 0 << 0;
}

void tst_PropertyItem::setData()
{
    QFETCH(QVariant, toolTip);
    QFETCH(QVariant, newValue);
    QFETCH(int, role);
    QFETCH(QVariant, expectedValue);
    QFETCH(QVariant, expectedToolTip);
    QFETCH(int, dataChanges);
    QFETCH(int, parentCalls);

    ChangeLog log;
    PropertyItemModel model;
    auto *parent = new RecordingItem(QStringLiteral("parent"), &log);
    auto *item = new PropertyItem(QStringLiteral("item"), 1);
    model.append(parent);
    parent->append(item);
    if (toolTip.isValid())
        item->setData(toolTip, Qt::ToolTipRole);

    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    item->setData(newValue, role);

    QCOMPARE(item->value(), expectedValue);
    QCOMPARE(item->data(Qt::ToolTipRole), expectedToolTip);
    QCOMPARE(changed.count(), dataChanges);
    // The name cell shows the name for the value's roles, every other role as the value cell does.
    const bool valueRole = role == Qt::DisplayRole || role == Qt::EditRole;
    for (const QList<QVariant> &signal : qAsConst(changed)) {
        QCOMPARE(signal.at(0).toModelIndex(), valueRole ? item->valueIndex() : item->index());
        QCOMPARE(signal.at(1).toModelIndex(), item->valueIndex());
    }
    QCOMPARE(log.count(), parentCalls);
}

void tst_PropertyItem::setValueWithoutNotifySignalsEvenWhenEqual()
{
    ChangeLog log;
    PropertyItemModel model;
    auto *parent = new RecordingItem(QStringLiteral("parent"), &log);
    auto *item = new PropertyItem(QStringLiteral("item"), 5);
    model.append(parent);
    parent->append(item);

    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    item->setValue(5, false);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toModelIndex(), item->valueIndex());
    QVERIFY(log.isEmpty());

    item->setValue(6, true);
    QCOMPARE(changed.count(), 2);
    QCOMPARE(log.count(), 1);
}

void tst_PropertyItem::childChangedClimbsToTheTop_data()
{
    QTest::addColumn<bool>("inModel");
    QTest::newRow("detached tree") << false;
    QTest::newRow("tree in a model") << true;
}

void tst_PropertyItem::childChangedClimbsToTheTop()
{
    QFETCH(bool, inModel);

    ChangeLog log;
    PropertyItemModel model;
    auto *top = new RecordingItem(QStringLiteral("top"), &log);
    auto *middle = new RecordingItem(QStringLiteral("middle"), &log);
    auto *lower = new RecordingItem(QStringLiteral("lower"), &log);
    auto *leaf = new RecordingItem(QStringLiteral("leaf"), &log, 0);
    top->append(middle);
    middle->append(lower);
    lower->append(leaf);
    QScopedPointer<PropertyItem> owner(inModel ? nullptr : top);
    if (inModel)
        model.append(top);

    leaf->setData(1, Qt::EditRole);

    const ChangeLog expected = { qMakePair<PropertyItem *, PropertyItem *>(lower, leaf),
                                 qMakePair<PropertyItem *, PropertyItem *>(middle, lower),
                                 qMakePair<PropertyItem *, PropertyItem *>(top, middle) };
    QCOMPARE(log, expected);
}

void tst_PropertyItem::insertClampsPosition_data()
{
    QTest::addColumn<int>("position");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("negative goes first") << -3 << QStringList{"new", "a", "b"};
    QTest::newRow("past the end goes last") << 100 << QStringList{"a", "b", "new"};
    QTest::newRow("in range is kept") << 1 << QStringList{"a", "new", "b"};
}

void tst_PropertyItem::insertClampsPosition()
{
    QFETCH(int, position);
    QFETCH(QStringList, expected);

    PropertyItemModel model;
    auto *parent = addChildren(new PropertyItem(QStringLiteral("parent"), QVariant()), {"a", "b"});
    model.append(parent);
    auto *item = new PropertyItem(QStringLiteral("new"), QVariant());

    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    parent->insert(position, item);

    QCOMPARE(childNames(parent), expected);
    QCOMPARE(item->parent(), parent);
    QCOMPARE(item->model(), &model);
    QCOMPARE(inserted.count(), 1);
    QCOMPARE(inserted.at(0).at(1).toInt(), expected.indexOf("new"));
    QCOMPARE(item->index().row(), expected.indexOf("new"));
}

void tst_PropertyItem::insertingAHeldChildMovesIt_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("position");
    QTest::addColumn<QStringList>("expected");

    QTest::newRow("append the first") << "a" << -1 << QStringList{"b", "c", "a"};
    QTest::newRow("insert the last at 0") << "c" << 0 << QStringList{"c", "a", "b"};
    QTest::newRow("insert the first at 1") << "a" << 1 << QStringList{"b", "a", "c"};
    QTest::newRow("past the end goes last") << "b" << 9 << QStringList{"a", "c", "b"};
    QTest::newRow("append the last stays") << "c" << -1 << QStringList{"a", "b", "c"};
    QTest::newRow("own row stays") << "b" << 1 << QStringList{"a", "b", "c"};
}

void tst_PropertyItem::insertingAHeldChildMovesIt()
{
    QFETCH(QString, name);
    QFETCH(int, position);
    QFETCH(QStringList, expected);

    PropertyItemModel model;
    auto *parent = addChildren(new PropertyItem(QStringLiteral("parent"), QVariant()), {"a", "b", "c"});
    model.append(parent);
    PropertyItem *item = parent->child(QStringList{"a", "b", "c"}.indexOf(name));

    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    QSignalSpy moved(&model, &QAbstractItemModel::rowsMoved);
    if (position < 0)
        parent->append(item);
    else
        parent->insert(position, item);

    QCOMPARE(childNames(parent), expected);
    QCOMPARE(item->parent(), parent);
    QCOMPARE(item->model(), &model);
    QCOMPARE(item->index().row(), expected.indexOf(name));
    // A move is announced as one; staying in place announces nothing.
    QCOMPARE(inserted.count(), 0);
    QCOMPARE(moved.count(), expected == QStringList({"a", "b", "c"}) ? 0 : 1);
}

void tst_PropertyItem::refusedInsertions_data()
{
    QTest::addColumn<QString>("child");
    QTest::newRow("null") << "null";
    QTest::newRow("itself") << "self";
    QTest::newRow("its parent") << "parent";
    QTest::newRow("its grandparent") << "grandparent";
    QTest::newRow("a model's root") << "root";
}

void tst_PropertyItem::refusedInsertions()
{
    QFETCH(QString, child);

    PropertyItemModel model;
    PropertyItemModel other;
    auto *grandparent = new PropertyItem(QStringLiteral("grandparent"), QVariant());
    auto *parent = new PropertyItem(QStringLiteral("parent"), QVariant());
    auto *item = new PropertyItem(QStringLiteral("item"), QVariant());
    model.append(grandparent);
    grandparent->append(parent);
    parent->append(item);

    const QHash<QString, PropertyItem *> candidates = {
        {"null", nullptr}, {"self", item}, {"parent", parent},
        {"grandparent", grandparent}, {"root", other.rootItem()}};

    QSignalSpy inserted(&model, &QAbstractItemModel::rowsAboutToBeInserted);
    QSignalSpy removed(&model, &QAbstractItemModel::rowsAboutToBeRemoved);
    if (child != "null")
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^\\(PropertyItem::insert\\) Refused"));
    item->append(candidates.value(child));

    QCOMPARE(item->childCount(), 0);
    QCOMPARE(parent->parent(), grandparent);
    QCOMPARE(grandparent->parent(), model.rootItem());
    QVERIFY(!other.rootItem()->parent());
    QCOMPARE(other.rowCount(), 0);
    QCOMPARE(inserted.count(), 0);
    QCOMPARE(removed.count(), 0);
}

void tst_PropertyItem::removeDetachesTheSubtree()
{
    PropertyItemModel model;
    auto *top = new PropertyItem(QStringLiteral("top"), QVariant());
    auto *middle = new PropertyItem(QStringLiteral("middle"), QVariant());
    auto *leaf = new PropertyItem(QStringLiteral("leaf"), QVariant());
    model.append(top);
    top->append(middle);
    middle->append(leaf);

    QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
    model.rootItem()->remove(top);
    QScopedPointer<PropertyItem> owner(top);

    QCOMPARE(removed.count(), 1);
    QCOMPARE(model.rowCount(), 0);
    QVERIFY(!top->parent());
    for (const PropertyItem *item : {top, middle, leaf}) {
        QVERIFY(!item->model());
        QVERIFY(!item->index().isValid());
    }
    // The subtree itself stays together.
    QCOMPARE(middle->parent(), top);
    QCOMPARE(leaf->parent(), middle);
    QCOMPARE(leaf->name(), QStringLiteral("leaf"));
}

void tst_PropertyItem::removeOfANonChildDoesNothing()
{
    PropertyItemModel model;
    auto *a = addChildren(new PropertyItem(QStringLiteral("a"), QVariant()), {"a1", "a2"});
    auto *b = addChildren(new PropertyItem(QStringLiteral("b"), QVariant()), {"b1"});
    model.append(a);
    model.append(b);
    PropertyItem stranger;

    QSignalSpy removed(&model, &QAbstractItemModel::rowsAboutToBeRemoved);
    a->remove(b->child(0));
    a->remove(&stranger);
    a->remove(nullptr);
    a->remove(a);

    QCOMPARE(removed.count(), 0);
    QCOMPARE(childNames(a), QStringList({"a1", "a2"}));
    QCOMPARE(childNames(b), QStringList({"b1"}));
}

void tst_PropertyItem::attributeSettersAnnounceTheirCells_data()
{
    QTest::addColumn<QString>("change");
    QTest::addColumn<int>("expectedFlags");
    QTest::addColumn<QString>("cells"); // the announced cells: "", "name", "value" or "both"
    QTest::addColumn<QVector<int>>("roles");

    const int initial = Qt::ItemIsSelectable | Qt::ItemIsEditable | Qt::ItemIsEnabled;
    const QVector<int> text{Qt::DisplayRole, Qt::EditRole};
    const QVector<int> any;
    QTest::newRow("rename") << "rename" << initial << "name" << text;
    QTest::newRow("same name changes nothing") << "same name" << initial << "" << any;
    // The name cell is never editable, so only the value cell shows the change.
    QTest::newRow("read-only") << "read-only" << (initial & ~Qt::ItemIsEditable) << "value" << any;
    QTest::newRow("editable again changes nothing") << "editable" << initial << "" << any;
    QTest::newRow("checkable") << "checkable" << (initial | Qt::ItemIsUserCheckable) << "both" << any;
    QTest::newRow("not selectable") << "not selectable" << (initial & ~Qt::ItemIsSelectable) << "both" << any;
    QTest::newRow("replace the flags") << "enabled only" << int(Qt::ItemIsEnabled) << "both" << any;
    QTest::newRow("tool tip shows in both cells") << "tool tip" << initial << "both"
                                                  << QVector<int>{Qt::ToolTipRole};
    QTest::newRow("value shows in the value cell") << "value" << initial << "value" << text;
}

void tst_PropertyItem::attributeSettersAnnounceTheirCells()
{
    QFETCH(QString, change);
    QFETCH(int, expectedFlags);
    QFETCH(QString, cells);
    QFETCH(QVector<int>, roles);

    PropertyItemModel model;
    model.append(new PropertyItem(QStringLiteral("before"), 0));
    auto *item = new PropertyItem(QStringLiteral("item"), 1);
    model.append(item);
    auto shown = [&](const QModelIndex &cell) {
        return QVariantList{model.data(cell), model.data(cell, Qt::ToolTipRole), int(model.flags(cell))};
    };
    const QVariantList nameBefore = shown(item->index());
    const QVariantList valueBefore = shown(item->valueIndex());

    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    if (change == "rename")
        item->setName(QStringLiteral("renamed"));
    else if (change == "same name")
        item->setName(QStringLiteral("item"));
    else if (change == "read-only")
        item->setEditable(false);
    else if (change == "editable")
        item->setEditable(true);
    else if (change == "checkable")
        item->changeFlags(Qt::ItemIsUserCheckable, true);
    else if (change == "not selectable")
        item->changeFlags(Qt::ItemIsSelectable, false);
    else if (change == "enabled only")
        item->setFlags(Qt::ItemIsEnabled);
    else if (change == "tool tip")
        item->setData(QStringLiteral("tip"), Qt::ToolTipRole);
    else if (change == "value")
        item->setData(2, Qt::EditRole);

    QCOMPARE(int(item->flags()), expectedFlags);
    const bool nameShownChanged = shown(item->index()) != nameBefore;
    const bool valueShownChanged = shown(item->valueIndex()) != valueBefore;
    QCOMPARE(nameShownChanged, cells == "name" || cells == "both");
    QCOMPARE(valueShownChanged, cells == "value" || cells == "both");
    if (cells.isEmpty()) {
        QCOMPARE(changed.count(), 0);
        return;
    }
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toModelIndex(), cells == "value" ? item->valueIndex() : item->index());
    QCOMPARE(changed.at(0).at(1).toModelIndex(), cells == "name" ? item->index() : item->valueIndex());
    QCOMPARE(changed.at(0).at(2).value<QVector<int>>(), roles);
}

void tst_PropertyItem::copyIsDetachedAndChildless()
{
    PropertyItemModel model;
    auto *source = addChildren(new PropertyItem(QStringLiteral("source"), 3), {"s1", "s2"});
    source->setData(QStringLiteral("tip"), Qt::ToolTipRole);
    source->setEditable(false);
    model.append(source);

    {
        PropertyItem copy(*source);
        QCOMPARE(copy.name(), QStringLiteral("source"));
        QCOMPARE(copy.value(), QVariant(3));
        QCOMPARE(copy.data(Qt::ToolTipRole), QVariant(QStringLiteral("tip")));
        QCOMPARE(copy.flags(), source->flags());
        QVERIFY(!copy.parent());
        QVERIFY(!copy.model());
        QCOMPARE(copy.childCount(), 0);
    }
    // The source's children survived the copy's destruction.
    QCOMPARE(childNames(source), QStringList({"s1", "s2"}));

    // Assignment takes the attributes, keeps the target's place and children.
    auto *target = addChildren(new PropertyItem(QStringLiteral("target"), 9), {"t1"});
    model.append(target);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    *target = *source;
    QCOMPARE(target->name(), QStringLiteral("source"));
    QCOMPARE(target->value(), QVariant(3));
    QCOMPARE(target->parent(), model.rootItem());
    QCOMPARE(childNames(target), QStringList({"t1"}));
    QCOMPARE(childNames(source), QStringList({"s1", "s2"}));
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).toModelIndex(), target->index());
    QCOMPARE(changed.at(0).at(1).toModelIndex(), target->valueIndex());
}

void tst_PropertyItem::destroyingAnItem()
{
    RecordingItem::alive = 0;
    {
        PropertyItemModel model;
        auto *top = new RecordingItem(QStringLiteral("top"), nullptr);
        auto *doomed = new RecordingItem(QStringLiteral("doomed"), nullptr);
        top->append(new RecordingItem(QStringLiteral("before"), nullptr));
        top->append(doomed);
        top->append(new RecordingItem(QStringLiteral("after"), nullptr));
        doomed->append(new RecordingItem(QStringLiteral("grandchild"), nullptr));
        model.append(top);
        QCOMPARE(RecordingItem::alive, 5);

        // An attached item leaves its parent as it goes, with the removal announced.
        QSignalSpy removed(&model, &QAbstractItemModel::rowsRemoved);
        delete doomed;
        QCOMPARE(RecordingItem::alive, 3);
        QCOMPARE(removed.count(), 1);
        QCOMPARE(removed.at(0).at(0).toModelIndex(), top->index());
        QCOMPARE(removed.at(0).at(1).toInt(), 1);
        QCOMPARE(childNames(top), QStringList({"before", "after"}));
        QCOMPARE(top->child(1)->index().row(), 1);
    }
    // The model takes the rest of its tree with it.
    QCOMPARE(RecordingItem::alive, 0);
}

QTEST_GUILESS_MAIN(tst_PropertyItem)
#include "tst_propertyitem.moc"
