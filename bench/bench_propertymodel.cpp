// Walks a large property tree the way a view does (index, parent, data for
// every cell) and edits it, against QStandardItemModel with the same shape.
#include <benchmark/benchmark.h>

#include <QtCore/QCoreApplication>
#include <QtCore/QVector>
#include <QtGui/QStandardItemModel>

#include <memory>

#include <propertyitem.h>
#include <propertyitemmodel.h>

namespace {

const int FlatRows = 100000;
const int DeepLevels = 10;
const int DeepBranching = 3; // 88,572 rows below the root

enum Shape { Flat, Deep };

struct PropertyTree
{
    PropertyItemModel model;
    QVector<PropertyItem *> flat; // the top-level items of the flat shape
};

struct StandardTree
{
    QStandardItemModel model;
    QVector<QStandardItem *> values; // the value cells of the flat shape
};

void addProperties(PropertyItem *parent, int level)
{
    for (int i = 0; i < DeepBranching; ++i) {
        auto *child = new PropertyItem(QStringLiteral("item %1.%2").arg(level).arg(i), i);
        parent->append(child);
        if (level + 1 < DeepLevels)
            addProperties(child, level + 1);
    }
}

QList<QStandardItem *> standardRow(const QString &name, int value)
{
    auto *valueItem = new QStandardItem;
    valueItem->setData(value, Qt::DisplayRole);
    return {new QStandardItem(name), valueItem};
}

void addStandard(QStandardItem *parent, int level)
{
    for (int i = 0; i < DeepBranching; ++i) {
        const QList<QStandardItem *> row = standardRow(QStringLiteral("item %1.%2").arg(level).arg(i), i);
        parent->appendRow(row);
        if (level + 1 < DeepLevels)
            addStandard(row.first(), level + 1);
    }
}

PropertyTree &propertyTree(Shape shape)
{
    static std::unique_ptr<PropertyTree> trees[2];
    std::unique_ptr<PropertyTree> &tree = trees[shape];
    if (!tree) {
        tree.reset(new PropertyTree);
        if (shape == Flat) {
            for (int i = 0; i < FlatRows; ++i) {
                auto *item = new PropertyItem(QStringLiteral("item %1").arg(i), i);
                tree->model.append(item);
                tree->flat.append(item);
            }
        } else {
            addProperties(tree->model.rootItem(), 0);
        }
    }
    return *tree;
}

StandardTree &standardTree(Shape shape)
{
    static std::unique_ptr<StandardTree> trees[2];
    std::unique_ptr<StandardTree> &tree = trees[shape];
    if (!tree) {
        tree.reset(new StandardTree);
        tree->model.setColumnCount(2);
        if (shape == Flat) {
            for (int i = 0; i < FlatRows; ++i) {
                const QList<QStandardItem *> row = standardRow(QStringLiteral("item %1").arg(i), i);
                tree->model.appendRow(row);
                tree->values.append(row.last());
            }
        } else {
            addStandard(tree->model.invisibleRootItem(), 0);
        }
    }
    return *tree;
}

QAbstractItemModel *model(bool standard, Shape shape)
{
    if (standard)
        return &standardTree(shape).model;
    return &propertyTree(shape).model;
}

// Visits every cell as a tree view does when everything is expanded; returns
// the number of cells, or -1 when a cell's parent is not the index it came from.
long walk(const QAbstractItemModel *model)
{
    long cells = 0;
    QVector<QModelIndex> pending{QModelIndex()};
    while (!pending.isEmpty()) {
        const QModelIndex parent = pending.takeLast();
        const int rows = model->rowCount(parent);
        for (int row = 0; row < rows; ++row) {
            for (int column = 0; column < 2; ++column) {
                const QModelIndex cell = model->index(row, column, parent);
                benchmark::DoNotOptimize(model->data(cell, Qt::DisplayRole));
                if (model->parent(cell) != parent)
                    return -1;
                ++cells;
                if (column == 0 && model->hasChildren(cell))
                    pending.append(cell);
            }
        }
    }
    return cells;
}

void BM_Walk(benchmark::State &state, bool standard, Shape shape)
{
    const QAbstractItemModel *m = model(standard, shape);
    long cells = 0;
    for (auto _ : state) {
        cells = walk(m);
        if (cells < 0) {
            state.SkipWithError("a cell's parent is not the index it came from");
            return;
        }
    }
    state.counters["cells"] = double(cells);
    state.SetItemsProcessed(state.iterations() * cells);
}

// A view asks parent() for the cells it has; this is that alone, for every
// cell of the tree, with the indexes made beforehand.
void BM_Parent(benchmark::State &state, bool standard, Shape shape)
{
    const QAbstractItemModel *m = model(standard, shape);
    QVector<QModelIndex> cells;
    QVector<QModelIndex> pending{QModelIndex()};
    while (!pending.isEmpty()) {
        const QModelIndex parent = pending.takeLast();
        for (int row = 0, rows = m->rowCount(parent); row < rows; ++row) {
            cells << m->index(row, 0, parent) << m->index(row, 1, parent);
            if (m->hasChildren(cells.at(cells.size() - 2)))
                pending << cells.at(cells.size() - 2);
        }
    }
    for (auto _ : state) {
        for (const QModelIndex &cell : qAsConst(cells))
            benchmark::DoNotOptimize(m->parent(cell));
    }
    state.SetItemsProcessed(state.iterations() * cells.size());
}

// Sets every value of the flat list through its item, which looks up the
// item's own row for the change notification; a row is first inserted at the
// front so that every row has moved since it was last looked up.
void BM_EditFlatAfterFrontInsert(benchmark::State &state, bool standard)
{
    int round = 0;
    for (auto _ : state) {
        ++round;
        if (standard) {
            StandardTree &tree = standardTree(Flat);
            tree.model.insertRow(0, standardRow(QStringLiteral("front"), 0));
            for (QStandardItem *value : qAsConst(tree.values))
                value->setData(round, Qt::DisplayRole);
            tree.model.removeRow(0);
        } else {
            PropertyTree &tree = propertyTree(Flat);
            auto *front = new PropertyItem(QStringLiteral("front"), 0);
            tree.model.rootItem()->insert(0, front);
            for (PropertyItem *item : qAsConst(tree.flat))
                item->setValue(round, true);
            delete front;
        }
    }
    state.SetItemsProcessed(state.iterations() * FlatRows);
}

void BM_BuildFlat(benchmark::State &state, bool standard)
{
    for (auto _ : state) {
        if (standard) {
            QStandardItemModel m;
            m.setColumnCount(2);
            for (int i = 0; i < FlatRows; ++i)
                m.appendRow(standardRow(QStringLiteral("item %1").arg(i), i));
        } else {
            PropertyItemModel m;
            for (int i = 0; i < FlatRows; ++i)
                m.append(new PropertyItem(QStringLiteral("item %1").arg(i), i));
        }
    }
    state.SetItemsProcessed(state.iterations() * FlatRows);
}

} // namespace

BENCHMARK_CAPTURE(BM_Walk, property_flat, false, Flat)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Walk, standard_flat, true, Flat)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Walk, property_deep, false, Deep)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Walk, standard_deep, true, Deep)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Parent, property_flat, false, Flat)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Parent, standard_flat, true, Flat)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Parent, property_deep, false, Deep)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_Parent, standard_deep, true, Deep)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_EditFlatAfterFrontInsert, property, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_EditFlatAfterFrontInsert, standard, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BuildFlat, property, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_BuildFlat, standard, true)->Unit(benchmark::kMillisecond);

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    return 0;
}
