#include <cmath>

#include <QtGui/QImage>
#include <QtSql/QSqlDatabase>
#include <QtSql/QSqlQuery>
#include <QtTest/QtTest>
#include <QtWidgets/QApplication>
#include <QtWidgets/QLabel>
#include <QtWidgets/QLineEdit>
#include <QtWidgets/QTreeView>

#include <profile.h>
#include <propertyitem.h>
#include <propertyitemmodel.h>
#include <qvglobal.h>

#include "profileeditor.h"
#include "profilesettingitem.h"

namespace {

// The groups the named settings are declared in.
int groupCount()
{
    QSet<QString> groups;
    for (const ProfileItem &setting : Profile::items())
        groups.insert(setting.group());
    return groups.size();
}

bool makeDatabase(const QString &path, const QStringList &statements)
{
    bool ok = true;
    {
        QSqlDatabase db = QSqlDatabase::addDatabase(QStringLiteral("QSQLITE"), QStringLiteral("setup"));
        db.setDatabaseName(path);
        ok = db.open();
        for (const QString &statement : statements)
            ok = ok && QSqlQuery(db).exec(statement);
        db.close();
    }
    QSqlDatabase::removeDatabase(QStringLiteral("setup"));
    return ok;
}

} // namespace

class tst_ProfileEditor : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void showsEverySettingInGroups();
    void showsStoredValues_data();
    void showsStoredValues();
    void editsWriteThrough_data();
    void editsWriteThrough();
    void refusesValuesOfAnotherType_data();
    void refusesValuesOfAnotherType();
    void editingInTheView();
    void revertReadsTheProfileAgain();
    void rendersTheTree();
    void commandLine_data();
    void commandLine();

private:
    ProfileSettingItem *setting(const QString &key) const;
    QString storedText(const QString &key) const;

    QTemporaryDir m_dir;
    QString m_previousDir;
    int m_boxes = 0;
    MessageBoxHandler m_previousHandler;
    QScopedPointer<Profile> m_profile;
    QScopedPointer<ProfileEditor> m_editor;
};

void tst_ProfileEditor::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_previousDir = QDir::currentPath();
    QVERIFY(QDir::setCurrent(m_dir.path()));
    QVERIFY(makeDatabase(m_dir.filePath("profile.db"), {
        "create table profile (name text unique, value)",
        "insert into profile values ('manual_input_flag', 'MI')",
        "insert into profile values ('color_of_waiting', '#00ff00')",
        "insert into profile values ('max_qc_file', 12)",
        "insert into profile values ('is_touch_screen', 'true')",
        "insert into profile values ('hospital', 'General')"}));
    for (const char *name : {"data.db", "qc.db", "syslog.db"})
        QVERIFY(makeDatabase(m_dir.filePath(name), {"create table t (x)"}));

    m_previousHandler = setMessageBoxHandler([this](QMessageBox::Icon, const QString &, const QString &,
                                                    QMessageBox::StandardButtons, QMessageBox::StandardButton) {
        ++m_boxes;
        return QMessageBox::Ok;
    });
    m_profile.reset(new Profile(m_dir.filePath("profile.db"), nullptr));
    QCOMPARE(m_boxes, 0);
    m_editor.reset(new ProfileEditor(*m_profile));
}

void tst_ProfileEditor::cleanupTestCase()
{
    m_editor.reset();
    m_profile.reset();
    setMessageBoxHandler(m_previousHandler);
    QDir::setCurrent(m_previousDir);
}

ProfileSettingItem *tst_ProfileEditor::setting(const QString &key) const
{
    const QList<PropertyItem *> groups = m_editor->model()->rootItem()->children();
    for (const PropertyItem *group : groups) {
        const QList<PropertyItem *> items = group->children();
        for (PropertyItem *item : items) {
            if (item->type() == ProfileSettingItem::Type && static_cast<ProfileSettingItem *>(item)->key() == key)
                return static_cast<ProfileSettingItem *>(item);
        }
    }
    return nullptr;
}

QString tst_ProfileEditor::storedText(const QString &key) const
{
    QSqlQuery query(m_profile->database());
    query.prepare(QStringLiteral("select value from profile where name = ?"));
    query.addBindValue(key);
    if (!query.exec() || !query.next())
        return QStringLiteral("<no row>");
    return query.value(0).toString();
}

void tst_ProfileEditor::showsEverySettingInGroups()
{
    const PropertyItemModel *model = m_editor->model();
    QCOMPARE(model->rowCount(), groupCount());
    QSet<QString> keys;
    for (int row = 0; row < model->rowCount(); ++row) {
        const QModelIndex group = model->index(row, 0);
        QVERIFY(!(model->flags(model->index(row, 1)) & Qt::ItemIsEditable));
        QVERIFY(model->rowCount(group) > 0);
        for (int child = 0; child < model->rowCount(group); ++child) {
            const QModelIndex name = model->index(child, 0, group);
            const auto *item = static_cast<const ProfileSettingItem *>(model->itemFromIndex(name));
            QCOMPARE(item->type(), int(ProfileSettingItem::Type));
            keys.insert(item->key());
            // Named by the label, with the key in the tip.
            const ProfileItem setting = Profile::findItem(item->key());
            QCOMPARE(model->data(name).toString(), setting.label());
            QCOMPARE(model->data(model->index(row, 0)).toString(), setting.group());
            QVERIFY(model->data(name, Qt::ToolTipRole).toString().startsWith(item->key() + '\n'));
            // Edited in place, or (a yes-or-no setting) checked.
            QVERIFY(model->flags(model->index(child, 1, group)) & (Qt::ItemIsEditable | Qt::ItemIsUserCheckable));
        }
    }
    QCOMPARE(keys.size(), Profile::items().size());
    QVERIFY2(m_editor->windowTitle().endsWith(QFileInfo(m_dir.filePath("profile.db")).absoluteFilePath()),
             qPrintable(m_editor->windowTitle()));
    QVERIFY(m_editor->hasProfile());
    QVERIFY(m_editor->warning()->isHidden());
    for (const char *key : {"statim_sample_prefix", "result_not_clotted", "replication_diff_flag",
                            "color_of_upper_mark", "qc_method", "is_touch_screen"})
        QVERIFY2(keys.contains(key), key);
}

void tst_ProfileEditor::showsStoredValues_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("expected");
    QTest::addColumn<bool>("stored");  // else a default, shown in a colour of its own

    QTest::newRow("stored text") << "manual_input_flag" << QVariant(QStringLiteral("MI")) << true;
    QTest::newRow("stored colour") << "color_of_waiting" << QVariant(QColor(0, 255, 0)) << true;
    QTest::newRow("stored integer") << "max_qc_file" << QVariant(12) << true;
    QTest::newRow("stored bool") << "is_touch_screen" << QVariant(true) << true;
    QTest::newRow("default text") << "statim_sample_prefix" << QVariant(QStringLiteral("S")) << false;
    QTest::newRow("default colour") << "color_of_lower_mark" << QVariant(QColor(255, 170, 0)) << false;
    QTest::newRow("colour never set shows nothing") << "color_of_analysing" << QVariant() << false;
}

void tst_ProfileEditor::showsStoredValues()
{
    QFETCH(QString, key);
    QFETCH(QVariant, expected);
    QFETCH(bool, stored);

    const ProfileSettingItem *item = setting(key);
    QVERIFY(item);
    const PropertyItemModel *model = m_editor->model();
    const QVariant shown = model->data(item->valueIndex(), Qt::EditRole);
    QCOMPARE(shown.userType(), expected.userType());
    QCOMPARE(shown, expected);
    const QVariant swatch = model->data(item->valueIndex(), Qt::DecorationRole);
    if (expected.userType() == QMetaType::QColor || key.startsWith("color_of_"))
        QCOMPARE(swatch, expected);
    else
        QVERIFY(!swatch.isValid());
    QVERIFY(!model->data(item->index(), Qt::DecorationRole).isValid());
    // A yes-or-no setting is a check box, without words.
    const bool checkable = expected.userType() == QMetaType::Bool;
    QCOMPARE(model->flags(item->valueIndex()).testFlag(Qt::ItemIsUserCheckable), checkable);
    QCOMPARE(model->data(item->valueIndex(), Qt::CheckStateRole),
             checkable ? QVariant(expected.toBool() ? Qt::Checked : Qt::Unchecked) : QVariant());
    if (checkable)
        QVERIFY(!model->data(item->valueIndex(), Qt::DisplayRole).isValid());
    // Defaults stand apart from stored values by their colour alone: upright (no slant, which
    // CJK fonts only fake), and readable on plain and alternate rows.
    const QPalette palette = m_editor->view()->palette();
    auto luminance = [](const QColor &c) {
        auto channel = [](qreal v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    auto contrast = [&](const QColor &a, const QColor &b) {
        const qreal la = luminance(a), lb = luminance(b);
        return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
    };
    for (const QModelIndex &cell : {item->index(), item->valueIndex()}) {
        QVERIFY(!model->data(cell, Qt::FontRole).value<QFont>().italic());
        const QVariant foreground = model->data(cell, Qt::ForegroundRole);
        QCOMPARE(foreground.isValid(), !stored);
        const QColor ink = stored ? palette.color(QPalette::Text) : foreground.value<QColor>();
        for (const QPalette::ColorRole background : {QPalette::Base, QPalette::AlternateBase})
            QVERIFY2(contrast(ink, palette.color(background)) >= 4.5, qPrintable(ink.name()));
        if (!stored)
            QVERIFY(contrast(ink, palette.color(QPalette::Text)) >= 2);
    }
}

void tst_ProfileEditor::editsWriteThrough_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("edit");
    QTest::addColumn<QVariant>("expected");
    QTest::addColumn<QString>("row");
    QTest::addColumn<int>("role");

    // Edits come as the view's editors give them: a colour as its name text.
    QTest::newRow("text") << "hospital" << QVariant(QStringLiteral("City")) << QVariant(QStringLiteral("City"))
                          << "City" << int(Qt::EditRole);
    QTest::newRow("colour from its name") << "color_of_dispensing" << QVariant(QStringLiteral("#0000ff"))
                                          << QVariant(QColor(Qt::blue)) << "#0000ff" << int(Qt::EditRole);
    QTest::newRow("colour") << "color_of_null_result" << QVariant(QColor(10, 20, 30))
                            << QVariant(QColor(10, 20, 30)) << "#0a141e" << int(Qt::EditRole);
    QTest::newRow("integer") << "qc_method" << QVariant(3) << QVariant(3) << "3" << int(Qt::EditRole);
    QTest::newRow("integer from text") << "max_qc_file" << QVariant(QStringLiteral("40")) << QVariant(40) << "40"
                                       << int(Qt::EditRole);
    QTest::newRow("bool") << "is_touch_screen" << QVariant(false) << QVariant(false) << "false"
                          << int(Qt::EditRole);
    QTest::newRow("bool from its check box") << "is_touch_screen" << QVariant(Qt::Checked) << QVariant(true) << "true"
                                             << int(Qt::CheckStateRole);
}

void tst_ProfileEditor::editsWriteThrough()
{
    QFETCH(QString, key);
    QFETCH(QVariant, edit);
    QFETCH(QVariant, expected);
    QFETCH(QString, row);
    QFETCH(int, role);

    ProfileSettingItem *item = setting(key);
    QVERIFY(item);
    const PropertyItemModel *model = m_editor->model();
    auto shade = [model](const QModelIndex &cell) { return model->data(cell, Qt::ForegroundRole); };
    const QVariant nameShade = shade(item->index());
    QSignalSpy saved(m_profile.data(), &Profile::valueChanged);
    QSignalSpy changed(model, &QAbstractItemModel::dataChanged);
    QVERIFY(m_editor->model()->setData(item->valueIndex(), edit, role));

    // A name cell drawn differently now (a default that became stored) was announced.
    bool nameAnnounced = false;
    for (const QList<QVariant> &signal : qAsConst(changed))
        nameAnnounced = nameAnnounced || signal.at(0).toModelIndex() == item->index();
    QCOMPARE(nameAnnounced, shade(item->index()) != nameShade);

    QCOMPARE(item->value().userType(), expected.userType());
    QCOMPARE(item->value(), expected);
    QCOMPARE(saved.count(), 1);
    QCOMPARE(m_profile->value(key), expected);
    QCOMPARE(storedText(key), row);
}

void tst_ProfileEditor::refusesValuesOfAnotherType_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QVariant>("edit");

    QTest::newRow("unknown colour name") << "color_of_waiting" << QVariant(QStringLiteral("no such colour"));
    QTest::newRow("text for an integer") << "qc_method" << QVariant(QStringLiteral("abc"));
}

void tst_ProfileEditor::refusesValuesOfAnotherType()
{
    QFETCH(QString, key);
    QFETCH(QVariant, edit);

    ProfileSettingItem *item = setting(key);
    QVERIFY(item);
    const QVariant before = item->value();
    const QString rowBefore = storedText(key);
    QSignalSpy saved(m_profile.data(), &Profile::valueChanged);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("is not a value of this setting$"));
    m_editor->model()->setData(item->valueIndex(), edit, Qt::EditRole);

    QCOMPARE(item->value(), before);
    QCOMPARE(saved.count(), 0);
    QCOMPARE(storedText(key), rowBefore);
}

void tst_ProfileEditor::editingInTheView()
{
    m_editor->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_editor.data()));
    ProfileSettingItem *item = setting("color_of_incubating");
    QVERIFY(item);
    QTreeView *view = m_editor->view();

    // Opening the name cell edits the value through the buddy.
    view->setCurrentIndex(item->index());
    view->edit(item->index());
    const QList<QLineEdit *> editors = view->findChildren<QLineEdit *>();
    QCOMPARE(editors.size(), 1);
    QLineEdit *editor = editors.first();
    editor->setText(QStringLiteral("#123456"));
    QTest::keyClick(editor, Qt::Key_Return);

    // The delegate commits on its next turn of the event loop.
    QTRY_COMPARE_WITH_TIMEOUT(item->value(), QVariant(QColor(0x12, 0x34, 0x56)), 2000);
    QCOMPARE(storedText("color_of_incubating"), QStringLiteral("#123456"));
}

void tst_ProfileEditor::revertReadsTheProfileAgain()
{
    ProfileSettingItem *item = setting("hospital");
    QVERIFY(item);
    m_profile->set_hospital(QStringLiteral("Elsewhere"), false);
    QSignalSpy changed(m_editor->model(), &QAbstractItemModel::dataChanged);
    m_editor->model()->revert();
    QCOMPARE(item->value(), QVariant(QStringLiteral("Elsewhere")));
    QCOMPARE(changed.count(), Profile::items().size());
}

void tst_ProfileEditor::rendersTheTree()
{
    m_editor->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_editor.data()));
    const ProfileSettingItem *green = setting("color_of_waiting");
    QVERIFY(green);
    QCOMPARE(green->value(), QVariant(QColor(0, 255, 0)));
    m_editor->view()->scrollTo(green->valueIndex());
    QCoreApplication::processEvents();

    const QString file = QStringLiteral(QV_BINARY_DIR "/profileeditor.png");
    QFile::remove(file);
    QVERIFY(m_editor->grab().save(file, "PNG"));
    QImage image;
    QVERIFY(image.load(file));
    QCOMPARE(image.size(), m_editor->size() * m_editor->devicePixelRatioF());

    // Not blank: the rows draw text in many shades, and the swatch of the
    // green colour setting is there in its own colour.
    QSet<QRgb> shades;
    bool swatch = false;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            const QRgb pixel = image.pixel(x, y) | 0xff000000u;
            shades.insert(pixel);
            swatch = swatch || pixel == qRgb(0, 255, 0);
        }
    }
    QVERIFY2(shades.size() > 20, qPrintable(QString::number(shades.size())));
    QVERIFY(swatch);
    // Every row of the expanded tree is laid out, one under the other.
    const PropertyItemModel *model = m_editor->model();
    QTreeView *view = m_editor->view();
    int rows = 0;
    int bottom = -1;
    for (QModelIndex index = model->index(0, 0); index.isValid(); index = view->indexBelow(index)) {
        const QRect rect = view->visualRect(index);
        QVERIFY(!rect.isEmpty());
        QVERIFY(rect.top() > bottom);
        bottom = rect.bottom();
        ++rows;
    }
    QCOMPARE(rows, groupCount() + Profile::items().size());
    QCOMPARE(m_boxes, 0);
}

void tst_ProfileEditor::commandLine_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("message");  // on stderr
    QTest::addColumn<bool>("picture");        // whether the grab is written

    QTest::newRow("missing profile") << QStringList{"--grab", "editor.png"} << 0
                                     << QByteArray("profile.db does not exist or cannot be opened") << true;
    QTest::newRow("picture not writable") << QStringList{"--grab=/nonexistent/editor.png"} << 2
                                          << QByteArray("cannot write /nonexistent/editor.png") << false;
    QTest::newRow("two profiles") << QStringList{"--grab", "editor.png", "a.db", "b.db"} << 1
                                  << QByteArray("one profile at a time") << false;
}

// The program in a directory without a profile: it says so and takes no edits.
void tst_ProfileEditor::commandLine()
{
    QFETCH(QStringList, args);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, message);
    QFETCH(bool, picture);
    QTemporaryDir empty;
    QProcess editor;
    editor.setWorkingDirectory(empty.path());
    editor.start(QStringLiteral(QV_BINARY_DIR "/profileeditor"), args);
    QVERIFY(editor.waitForFinished(30000));
    const QByteArray err = editor.readAllStandardError();
    QVERIFY2(editor.exitCode() == exitCode, err.constData());
    QVERIFY2(err.contains(message), err.constData());
    QCOMPARE(QFile::exists(empty.filePath("editor.png")), picture);
    QVERIFY(!QFile::exists(empty.filePath("profile.db")));
}

QTEST_MAIN(tst_ProfileEditor)
#include "tst_profileeditor.moc"
