#include <QtCore/QDir>
#include <QtCore/QElapsedTimer>
#include <QtCore/QFile>
#include <QtCore/QLibraryInfo>
#include <QtCore/QPointer>
#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QtCore/QTextCodec>
#endif
#include <QtCore/QTimer>
#include <QtCore/QTranslator>
#include <QtTest/QtTest>
#include <QtWidgets/QAbstractButton>
#include <QtWidgets/QApplication>
#include <QtWidgets/QDialog>
#include <QtWidgets/QPushButton>

#include <functional>
#include <thread>

#include <messageboxrecorder.h>
#include <qvglobal.h>

Q_DECLARE_METATYPE(QMessageBox::Icon)
Q_DECLARE_METATYPE(QMessageBox::StandardButton)
Q_DECLARE_METATYPE(QMessageBox::StandardButtons)

namespace {

using BoxFunction = QMessageBox::StandardButton (*)(const QString &, QMessageBox::StandardButtons,
                                                   QMessageBox::StandardButton);

BoxFunction boxFunction(QMessageBox::Icon icon)
{
    switch (icon) {
    case QMessageBox::Information: return &information;
    case QMessageBox::Question: return &question;
    case QMessageBox::Warning: return &warning;
    case QMessageBox::Critical: return &critical;
    default: return nullptr;
    }
}

// Debug lines written while it lives.
class DebugCapture
{
public:
    DebugCapture() { s_lines.clear(); m_previous = qInstallMessageHandler(&DebugCapture::handle); }
    ~DebugCapture() { qInstallMessageHandler(m_previous); }
    QStringList lines() const { return s_lines; }

private:
    static void handle(QtMsgType type, const QMessageLogContext &, const QString &message)
    {
        if (type == QtDebugMsg)
            s_lines << message;
    }
    static QStringList s_lines;
    QtMessageHandler m_previous;
};
QStringList DebugCapture::s_lines;

QString lreleasePath()
{
    return QStringLiteral(QV_LRELEASE);
}

QString qtTranslationsPath()
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    return QLibraryInfo::path(QLibraryInfo::TranslationsPath);
#else
    return QLibraryInfo::location(QLibraryInfo::TranslationsPath);
#endif
}

// 8-bit text from and to the system (file names, console) is read as UTF-8.
bool localeIsUtf8()
{
    return QString::fromLocal8Bit("\xe4\xb8\x8d\xe5\x87\x9d") == QStringLiteral("不凝");
}

// Builds <path>.qm with one entry: context Profile, source "M".
bool buildTranslation(const QString &qmPath, const QString &translation)
{
    QDir().mkpath(QFileInfo(qmPath).absolutePath());
    const QString tsPath = qmPath.left(qmPath.size() - 3) + QStringLiteral(".ts");
    QFile ts(tsPath);
    if (!ts.open(QIODevice::WriteOnly))
        return false;
    ts.write(QStringLiteral("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!DOCTYPE TS>\n"
                            "<TS version=\"2.1\"><context><name>Profile</name><message>"
                            "<source>M</source><translation>%1</translation></message>"
                            "</context></TS>\n").arg(translation).toUtf8());
    ts.close();
    QProcess lrelease;
    lrelease.start(lreleasePath(), {QStringLiteral("-silent"), tsPath, QStringLiteral("-qm"), qmPath});
    return lrelease.waitForFinished(30000) && lrelease.exitCode() == 0 && QFile::exists(qmPath);
}

void removeInstalledTranslators()
{
    const auto translators = qApp->findChildren<QTranslator *>(QString(), Qt::FindDirectChildrenOnly);
    qDeleteAll(translators);
}

} // namespace

class tst_QvGlobal : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();

    void setDefaultCodecMakesLocaleUtf8();
    void installTranslatorsFollowsSettings_data();
    void installTranslatorsFollowsSettings();

    void messageBoxesGoThroughHandler_data();
    void messageBoxesGoThroughHandler();
    void realMessageBoxIsModalAndAnswered_data();
    void realMessageBoxIsModalAndAnswered();
    void noBoxOffTheGuiThread();
    void handlersNest();

    void topLevelWidgetFollowsActiveWindow();
    void waitCursorStacksOnGuiThreadOnly();
    void boolLockerRestores();
    void sleepBlocksWithoutEvents();

private:
    QString m_startDir;
};

void tst_QvGlobal::initTestCase()
{
    QCoreApplication::setApplicationName(QStringLiteral("QvGlobalTest"));
    m_startDir = QDir::currentPath();
}

void tst_QvGlobal::cleanup()
{
    QDir::setCurrent(m_startDir);
    removeInstalledTranslators();
    while (QGuiApplication::overrideCursor())
        QGuiApplication::restoreOverrideCursor();
}

void tst_QvGlobal::setDefaultCodecMakesLocaleUtf8()
{
    setDefaultCodec();
    // Qt 6 has no other locale codec than UTF-8 on this platform.
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QCOMPARE(QTextCodec::codecForLocale()->name(), QByteArray("UTF-8"));
#endif
    QCOMPARE(QString::fromLocal8Bit("\xe4\xb8\x8d\xe5\x87\x9d"), QStringLiteral("不凝"));
}

void tst_QvGlobal::installTranslatorsFollowsSettings_data()
{
    QTest::addColumn<QString>("ini");
    // Translation files to build, "relative path=translation of M"; the
    // program runs in work/, so ".." is the temporary directory itself.
    QTest::addColumn<QStringList>("files");
    QTest::addColumn<QStringList>("expectedLines");
    QTest::addColumn<QString>("expectedM");

    // Qt ships its own qt_zh_CN on some systems; the library's qv_zh_CN is
    // found in the build tree wherever the program runs, and keeps the
    // Chinese source texts.
    const QString qtStem = QStringLiteral("qt_zh_CN");
    const bool qtShipped = QTranslator().load(qtStem, qtTranslationsPath());
    const QString qtLine = qtStem + (qtShipped ? QStringLiteral(" loaded") : QStringLiteral(" not found"));

    QTest::newRow("no settings.ini: qt and qv for zh_CN")
        << QString() << QStringList() << QStringList{qtLine, QStringLiteral("qv_zh_CN loaded")}
        << QStringLiteral("M");
    QTest::newRow("qv_zh_CN in the current directory")
        << QString() << QStringList{QStringLiteral("work/qv_zh_CN.qm=手工")}
        << QStringList{qtLine, QStringLiteral("qv_zh_CN loaded")} << QStringLiteral("手工");
    QTest::newRow("company adds a third stem after the defaults")
        << QStringLiteral("[settings]\ncompany=acme\nlanguage=xx_YY\n")
        << QStringList{QStringLiteral("work/acme_xx_YY.qm=acme-M")}
        << QStringList{QStringLiteral("qt_xx_YY not found"), QStringLiteral("qv_xx_YY not found"),
                       QStringLiteral("acme_xx_YY loaded")}
        << QStringLiteral("acme-M");
    QTest::newRow("translations list replaces the defaults, in its order")
        << QStringLiteral("[settings]\ncompany=acme\nlanguage=xx_YY\ntranslations=extra, qv\n")
        << QStringList{QStringLiteral("work/qv_xx_YY.qm=qv-M"), QStringLiteral("work/acme_xx_YY.qm=acme-M")}
        << QStringList{QStringLiteral("extra_xx_YY not found"), QStringLiteral("qv_xx_YY loaded")}
        << QStringLiteral("qv-M");
    QTest::newRow("current directory before ../translations")
        << QStringLiteral("[settings]\nlanguage=xx_YY\ntranslations=qv\n")
        << QStringList{QStringLiteral("translations/qv_xx_YY.qm=far"), QStringLiteral("work/qv_xx_YY.qm=near")}
        << QStringList{QStringLiteral("qv_xx_YY loaded")} << QStringLiteral("near");
    QTest::newRow("parent directory before ../translations")
        << QStringLiteral("[settings]\nlanguage=xx_YY\ntranslations=qv\n")
        << QStringList{QStringLiteral("translations/qv_xx_YY.qm=far"), QStringLiteral("qv_xx_YY.qm=parent")}
        << QStringList{QStringLiteral("qv_xx_YY loaded")} << QStringLiteral("parent");
    QTest::newRow("../translations searched")
        << QStringLiteral("[settings]\nlanguage=xx_YY\ntranslations=qv\n")
        << QStringList{QStringLiteral("translations/qv_xx_YY.qm=far")}
        << QStringList{QStringLiteral("qv_xx_YY loaded")} << QStringLiteral("far");
    QTest::newRow("stem shortened at the underscore")
        << QStringLiteral("[settings]\nlanguage=xx_YY\ntranslations=qv\n")
        << QStringList{QStringLiteral("work/qv_xx.qm=short")}
        << QStringList{QStringLiteral("qv_xx_YY loaded")} << QStringLiteral("short");
}

void tst_QvGlobal::installTranslatorsFollowsSettings()
{
    QFETCH(QString, ini);
    QFETCH(QStringList, files);
    QFETCH(QStringList, expectedLines);
    QFETCH(QString, expectedM);

    QTemporaryDir root;
    QVERIFY(root.isValid());
    const QDir rootDir(root.path());
    QVERIFY(rootDir.mkpath(QStringLiteral("work")));
    for (const QString &file : qAsConst(files)) {
        const int eq = file.indexOf(QLatin1Char('='));
        QVERIFY2(buildTranslation(rootDir.filePath(file.left(eq)), file.mid(eq + 1)), qPrintable(file));
    }
    QVERIFY(QDir::setCurrent(rootDir.filePath(QStringLiteral("work"))));
    if (!ini.isNull()) {
        QFile f(QStringLiteral("settings.ini"));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(ini.toUtf8());
    }

    QStringList lines;
    {
        DebugCapture capture;
        installTranslators();
        lines = capture.lines();
    }
    QCOMPARE(lines, expectedLines);
    QCOMPARE(QCoreApplication::translate("Profile", "M"), expectedM);
    QVERIFY(localeIsUtf8());
}

void tst_QvGlobal::messageBoxesGoThroughHandler_data()
{
    QTest::addColumn<QMessageBox::Icon>("icon");
    QTest::addColumn<QMessageBox::StandardButtons>("buttons");
    QTest::addColumn<QMessageBox::StandardButton>("defaultButton");
    QTest::addColumn<QMessageBox::StandardButton>("answer");

    QTest::newRow("information Ok")
        << QMessageBox::Information << QMessageBox::StandardButtons(QMessageBox::Ok)
        << QMessageBox::Ok << QMessageBox::Ok;
    QTest::newRow("question Yes|No without default, No pressed")
        << QMessageBox::Question << QMessageBox::StandardButtons(QMessageBox::Yes | QMessageBox::No)
        << QMessageBox::NoButton << QMessageBox::No;
    QTest::newRow("warning Ok|Cancel, Cancel pressed")
        << QMessageBox::Warning << QMessageBox::StandardButtons(QMessageBox::Ok | QMessageBox::Cancel)
        << QMessageBox::Ok << QMessageBox::Cancel;
    QTest::newRow("critical Retry|Abort")
        << QMessageBox::Critical << QMessageBox::StandardButtons(QMessageBox::Retry | QMessageBox::Abort)
        << QMessageBox::Abort << QMessageBox::Retry;
}

void tst_QvGlobal::messageBoxesGoThroughHandler()
{
    QFETCH(QMessageBox::Icon, icon);
    QFETCH(QMessageBox::StandardButtons, buttons);
    QFETCH(QMessageBox::StandardButton, defaultButton);
    QFETCH(QMessageBox::StandardButton, answer);

    MessageBoxRecorder recorder;
    recorder.setAnswer(answer);
    Qt::CursorShape shapeDuringBox = Qt::BlankCursor;
    const MessageBoxHandler inner = messageBoxHandler();
    const MessageBoxHandler previous = setMessageBoxHandler(
        [&](QMessageBox::Icon i, const QString &title, const QString &text, QMessageBox::StandardButtons b,
            QMessageBox::StandardButton d) {
            if (const QCursor *cursor = QGuiApplication::overrideCursor())
                shapeDuringBox = cursor->shape();
            return inner(i, title, text, b, d);
        });

    const QString text = QStringLiteral("文件 %1 无法打开");
    QMessageBox::StandardButton result;
    {
        const WaitCursor busy;
        result = boxFunction(icon)(text, buttons, defaultButton);
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
    }
    setMessageBoxHandler(previous);

    QCOMPARE(result, answer);
    QCOMPARE(shapeDuringBox, Qt::ArrowCursor);
    QCOMPARE(recorder.count(), 1);
    const MessageBoxRecorder::Box &box = recorder.boxes().first();
    QCOMPARE(box.icon, icon);
    QCOMPARE(box.title, QStringLiteral("QvGlobalTest"));
    QCOMPARE(box.text, text);
    QCOMPARE(box.buttons, buttons);
    QCOMPARE(box.defaultButton, defaultButton);
    QVERIFY(!QGuiApplication::overrideCursor());
}

void tst_QvGlobal::realMessageBoxIsModalAndAnswered_data()
{
    QTest::addColumn<QMessageBox::Icon>("icon");
    QTest::addColumn<QMessageBox::StandardButtons>("buttons");
    QTest::addColumn<QMessageBox::StandardButton>("defaultButton");
    QTest::addColumn<QMessageBox::StandardButton>("press");

    QTest::newRow("question without a default button")
        << QMessageBox::Question << QMessageBox::StandardButtons(QMessageBox::Yes | QMessageBox::No)
        << QMessageBox::NoButton << QMessageBox::Yes;
    QTest::newRow("warning with Ok as default")
        << QMessageBox::Warning << QMessageBox::StandardButtons(QMessageBox::Ok)
        << QMessageBox::Ok << QMessageBox::Ok;
    QTest::newRow("critical, the non-default button pressed")
        << QMessageBox::Critical << QMessageBox::StandardButtons(QMessageBox::Ok | QMessageBox::Cancel)
        << QMessageBox::Ok << QMessageBox::Cancel;
    QTest::newRow("information")
        << QMessageBox::Information << QMessageBox::StandardButtons(QMessageBox::Ok)
        << QMessageBox::NoButton << QMessageBox::Ok;
}

void tst_QvGlobal::realMessageBoxIsModalAndAnswered()
{
    QFETCH(QMessageBox::Icon, icon);
    QFETCH(QMessageBox::StandardButtons, buttons);
    QFETCH(QMessageBox::StandardButton, defaultButton);
    QFETCH(QMessageBox::StandardButton, press);

    QVERIFY(!messageBoxHandler());
    QWidget window;
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));

    struct Seen {
        bool shown = false;
        QString title, text;
        QMessageBox::Icon icon = QMessageBox::NoIcon;
        bool hasDefault = false;
        QMessageBox::StandardButton defaultButton = QMessageBox::NoButton;
        QWidget *parent = nullptr;
        bool fixedSize = false;
        Qt::CursorShape cursor = Qt::BlankCursor;
    } seen;

    // Closes the box once it is up, after noting what it shows.
    QTimer closer;
    closer.setInterval(5);
    connect(&closer, &QTimer::timeout, [&]() {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (!box)
            return;
        closer.stop();
        seen.shown = true;
        seen.title = box->windowTitle();
        seen.text = box->text();
        seen.icon = box->icon();
        seen.hasDefault = box->defaultButton() != nullptr;
        if (box->defaultButton())
            seen.defaultButton = box->standardButton(box->defaultButton());
        seen.parent = box->parentWidget();
        seen.fixedSize = box->windowFlags().testFlag(Qt::MSWindowsFixedSizeDialogHint);
        if (const QCursor *cursor = QGuiApplication::overrideCursor())
            seen.cursor = cursor->shape();
        box->button(press)->click();
    });
    closer.start();

    QElapsedTimer guard;
    guard.start();
    const QMessageBox::StandardButton result = boxFunction(icon)(QStringLiteral("真的要删除吗?"), buttons,
                                                                 defaultButton);
    QVERIFY(guard.elapsed() < 10000);

    QVERIFY(seen.shown);
    QCOMPARE(result, press);
    QCOMPARE(seen.title, QStringLiteral("QvGlobalTest"));
    QCOMPARE(seen.text, QStringLiteral("真的要删除吗?"));
    QCOMPARE(seen.icon, icon);
    QCOMPARE(seen.hasDefault, defaultButton != QMessageBox::NoButton);
    QCOMPARE(seen.defaultButton, defaultButton);
    QCOMPARE(seen.parent, &window);
    QVERIFY(seen.fixedSize);
    QCOMPARE(seen.cursor, Qt::ArrowCursor);
    QVERIFY(!QApplication::activeModalWidget());
    QVERIFY(!QGuiApplication::overrideCursor());
}

void tst_QvGlobal::noBoxOffTheGuiThread()
{
    QVERIFY(!messageBoxHandler());
    QMessageBox::StandardButton result = QMessageBox::Ok;
    QWidget *parent = reinterpret_cast<QWidget *>(1);
    QTest::ignoreMessage(QtWarningMsg, "(showMessageBox) No box can be shown here: 后台");
    std::thread worker([&]() {
        result = critical(QStringLiteral("后台"), QMessageBox::Ok, QMessageBox::Ok);
        parent = topLevelWidget();
    });
    worker.join();
    QCOMPARE(result, QMessageBox::NoButton);
    QCOMPARE(parent, static_cast<QWidget *>(nullptr));

    // With a handler, the box is answered wherever it is asked for.
    MessageBoxRecorder recorder;
    std::thread answered([&]() { result = critical(QStringLiteral("后台"), QMessageBox::Ok, QMessageBox::Ok); });
    answered.join();
    QCOMPARE(result, QMessageBox::Ok);
    QCOMPARE(recorder.count(), 1);
}

void tst_QvGlobal::handlersNest()
{
    QVERIFY(!messageBoxHandler());
    {
        MessageBoxRecorder outer;
        {
            MessageBoxRecorder inner;
            inner.setAnswer(QMessageBox::Cancel);
            QCOMPARE(warning(QStringLiteral("a"), QMessageBox::Ok | QMessageBox::Cancel), QMessageBox::Cancel);
            QCOMPARE(inner.count(), 1);
        }
        QCOMPARE(information(QStringLiteral("b")), QMessageBox::Ok);
        QCOMPARE(outer.texts(), QStringList{QStringLiteral("b")});
    }
    QVERIFY(!messageBoxHandler());
}

void tst_QvGlobal::topLevelWidgetFollowsActiveWindow()
{
    QCOMPARE(topLevelWidget(), static_cast<QWidget *>(nullptr));

    QWidget window;
    QWidget *child = new QWidget(&window);
    Q_UNUSED(child)
    window.show();
    window.activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(&window));
    QCOMPARE(topLevelWidget(), &window);

    // A modal dialog wins over the active window.
    QDialog dialog(&window);
    dialog.setModal(true);
    dialog.show();
    QTRY_COMPARE(QApplication::activeModalWidget(), static_cast<QWidget *>(&dialog));
    QCOMPARE(topLevelWidget(), static_cast<QWidget *>(&dialog));
    dialog.hide();
    window.hide();
    QTRY_COMPARE(topLevelWidget(), static_cast<QWidget *>(nullptr));
}

void tst_QvGlobal::waitCursorStacksOnGuiThreadOnly()
{
    QVERIFY(!QGuiApplication::overrideCursor());
    {
        const WaitCursor busy;
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
        {
            const WaitCursor arrow(Qt::ArrowCursor);
            QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::ArrowCursor);
        }
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);

        // Made and destroyed on a worker, it leaves the cursor alone.
        std::thread worker([]() { const WaitCursor elsewhere(Qt::CrossCursor); });
        worker.join();
        QCOMPARE(QGuiApplication::overrideCursor()->shape(), Qt::WaitCursor);
    }
    QVERIFY(!QGuiApplication::overrideCursor());

    std::thread worker([]() { const WaitCursor elsewhere; });
    worker.join();
    QVERIFY(!QGuiApplication::overrideCursor());
}

void tst_QvGlobal::boolLockerRestores()
{
    bool flag = false;
    {
        const BoolLocker outer(flag, true);
        QVERIFY(flag);
        {
            const BoolLocker inner(flag, false);
            QVERIFY(!flag);
        }
        QVERIFY(flag);
    }
    QVERIFY(!flag);

    bool busy = true;
    try {
        const BoolLocker locker(busy, false);
        QVERIFY(!busy);
        throw 1;
    } catch (int) {
    }
    QVERIFY(busy);
}

void tst_QvGlobal::sleepBlocksWithoutEvents()
{
    bool ran = false;
    QTimer::singleShot(0, [&ran]() { ran = true; });
    QElapsedTimer timer;
    timer.start();
    sleep(30);
    QVERIFY(timer.elapsed() >= 30);
    QVERIFY(!ran);
    QTRY_VERIFY(ran);

    // A negative time must not turn into an endless wait.
    sleep(-1);
    sleep(0);
}

QTEST_MAIN(tst_QvGlobal)
#include "tst_qvglobal.moc"
