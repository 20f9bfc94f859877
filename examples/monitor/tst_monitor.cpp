// The monitor's window against the simulated analyser: it finds the modules, shows their
// registers, writes an edit back, shows the link's state and the frames it dropped, and
// stays live throughout: with a silent module, a slow line, replies after the wait, a
// module that stops answering, a peer that hangs up, and when it is closed mid-poll.
#include <devicedriver.h>
#include <propertyitem.h>
#include <propertyitemmodel.h>
#include <warningcatcher.h>

#include <defaultanalyser.h>
#include <simulatedmodule.h>
#include <simulatorthread.h>

#include <QtCore/QElapsedTimer>
#include <QtCore/QTimer>
#include <QtTest/QtTest>
#include <QtWidgets/QLabel>
#include <QtWidgets/QListWidget>
#include <QtWidgets/QPlainTextEdit>

#include <memory>

#include "monitorwindow.h"
#include "registeritem.h"

namespace {

// A blocking exchange with a silent module would hold the window for five first waits of
// this long; the window's worst stall is asserted to stay far below that.
constexpr int FirstWaitMs = 200;
constexpr int StallBoundMs = 300;

// The longest time between the ticks of a 5 ms timer on this thread while it lives.
class StallMeter : public QObject
{
public:
    StallMeter()
    {
        m_timer.setTimerType(Qt::PreciseTimer);
        m_timer.setInterval(5);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            m_worst = qMax(m_worst, m_clock.restart());
        });
        m_clock.start();
        m_timer.start();
    }
    qint64 worstMs() const { return qMax(m_worst, m_clock.elapsed()); }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_worst = 0;
};

RegisterItem *registerOf(const MonitorWindow &window, const QString &path, int index)
{
    PropertyItem *row = window.moduleRow(path);
    PropertyItem *item = row ? row->child(index) : nullptr;
    return item && item->type() == RegisterItem::Type ? static_cast<RegisterItem *>(item) : nullptr;
}

QVariant valueOf(const MonitorWindow &window, const QString &path, int index)
{
    const RegisterItem *item = registerOf(window, path, index);
    return item ? item->value() : QVariant();
}

} // namespace

class tst_Monitor : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanup();
    void scanFindsModulesBehindGateways();
    void watchRefusesWhatIsNoModulePath_data();
    void watchRefusesWhatIsNoModulePath();
    void staysLiveWhilePolling_data();
    void staysLiveWhilePolling();
    void editIsWrittenBack_data();
    void editIsWrittenBack();

private:
    // A window with its link open to the simulator, polling 1/5, 2 and the silent 9.
    std::unique_ptr<MonitorWindow> openWindow();

    SimulatorThread m_sim;
};

void tst_Monitor::initTestCase()
{
    cleanup();
    QVERIFY2(m_sim.start(SimulatorThread::Tcp), qPrintable(m_sim.errorString()));
}

// The default analyser and the silent modules 9 and 11, as new. (The simulator takes no
// frame for an address it does not have, so a silent module is one that is there.)
void tst_Monitor::cleanup()
{
    m_sim.link().faults().clear();
    buildDefaultAnalyser(m_sim.link());
    m_sim.link().addModule(9)->setResponding(false);
    m_sim.link().addModule(11)->setResponding(false);
}

std::unique_ptr<MonitorWindow> tst_Monitor::openWindow()
{
    std::unique_ptr<MonitorWindow> window(new MonitorWindow);
    window->setRegisters(0x10, 4);
    window->setPollInterval(100);
    window->connectLink(m_sim.url());
    window->driver()->setReadTimeouts(FirstWaitMs);
    window->show();
    return window;
}

void tst_Monitor::scanFindsModulesBehindGateways()
{
    std::unique_ptr<MonitorWindow> window = openWindow();
    QTRY_VERIFY(window->isLinkOpen());
    QSignalSpy finished(window.get(), &MonitorWindow::scanFinished);
    window->scan(1, 6);
    QVERIFY(window->isScanning());
    QVERIFY(finished.wait(20000));
    QStringList found;
    for (int i = 0; i < window->foundModules()->count(); ++i)
        found << window->foundModules()->item(i)->text();
    found.sort();
    QCOMPARE(found, QStringList({ "1", "1/5", "1/5/3", "1/6", "2" }));

    // Ticking a module found polls it.
    window->foundModules()->findItems("1/6", Qt::MatchExactly).value(0)->setCheckState(Qt::Checked);
    QVERIFY(window->moduleRow("1/6"));
    QTRY_COMPARE(valueOf(*window, "1/6", 0).toInt(), 0x0600);

    // A long scan of silent and absent addresses leaves the polls their turns.
    window->scan(3, 12);
    m_sim.link().module("1/6")->setHoldingRegister(0x10, 0x4242);
    QTRY_COMPARE(valueOf(*window, "1/6", 0).toInt(), 0x4242);
    QVERIFY(window->isScanning());
}

void tst_Monitor::watchRefusesWhatIsNoModulePath_data()
{
    QTest::addColumn<QString>("path");
    // Each would be read as a path with the broadcast address 0, or another address.
    QTest::newRow("letters") << "x";
    QTest::newRow("letters behind a gateway") << "1/five";
    QTest::newRow("address 0") << "0";
    QTest::newRow("past 247") << "1/300";
}

void tst_Monitor::watchRefusesWhatIsNoModulePath()
{
    QFETCH(QString, path);
    MonitorWindow window;
    WarningCatcher warnings;
    QVERIFY(!window.watch(path));
    QVERIFY(!window.moduleRow(path));
    QCOMPARE(window.model()->rowCount(), 0);
    QCOMPARE(warnings.messages().filter("is no module path").size(), 1);
}

void tst_Monitor::staysLiveWhilePolling_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("state");     // the link's state shown at the end
    QTest::addColumn<QString>("discarded"); // what the panel of dropped frames shows
    QTest::newRow("silent module") << "none" << "open" << "";
    QTest::newRow("slow line") << "slow" << "open" << "";
    QTest::newRow("replies after the wait") << "late" << "open" << "late reply";
    QTest::newRow("module stops answering") << "gone" << "open" << "";
    QTest::newRow("peer hangs up") << "hang up" << "closed" << "";
}

// While the window polls a silent module beside two that answer, whatever the line does,
// a 5 ms timer of the window's thread never waits long, also while the window is closed
// in the middle of an exchange with the silent module.
void tst_Monitor::staysLiveWhilePolling()
{
    QFETCH(QString, fault);
    QFETCH(QString, state);
    QFETCH(QString, discarded);
    std::unique_ptr<MonitorWindow> window = openWindow();
    QTRY_VERIFY(window->isLinkOpen());
    // From here: the window's first showing (fonts loaded once a process) is not timed.
    StallMeter meter;
    for (const char *path : { "1/5", "2", "9" })
        window->watch(QLatin1String(path));
    QTRY_COMPARE(valueOf(*window, "1/5", 1).toInt(), 0x0501);
    QTRY_COMPARE(valueOf(*window, "2", 3).toInt(), 0x0203);
    QTRY_VERIFY(window->moduleRow("9")->value().toString().startsWith("no reply"));

    SimulatedLink &link = m_sim.link();
    if (fault == QLatin1String("slow")) {
        link.faults().delayReplies(1000, FirstWaitMs * 3 / 4);
    } else if (fault == QLatin1String("late")) {
        link.faults().delayReplies(1000, FirstWaitMs * 5 / 2);
    } else if (fault == QLatin1String("gone")) {
        link.module(2)->setResponding(false);
    } else if (fault == QLatin1String("hang up")) {
        link.faults().hangUp(1);
    }
    link.module(2)->setHoldingRegister(0x10, 0x4242);
    if (fault == QLatin1String("gone")) {
        QTRY_VERIFY(window->moduleRow("2")->value().toString().startsWith("no reply"));
    } else if (fault == QLatin1String("hang up")) {
        QTRY_VERIFY(window->linkState()->text().startsWith("closed"));
    } else {
        // The change is seen, however slow the line.
        QTRY_COMPARE_WITH_TIMEOUT(valueOf(*window, "2", 0).toInt(), 0x4242, 10000);
    }
    if (!discarded.isEmpty())
        QTRY_VERIFY2(window->discardedFrames()->toPlainText().contains(discarded),
                     qPrintable(window->discardedFrames()->toPlainText()));
    QVERIFY2(window->linkState()->text().startsWith(state), qPrintable(window->linkState()->text()));

    // Closed while its request to a silent module is on the line.
    if (window->isLinkOpen()) {
        link.clearRequests();
        window->watch("11");
        QTRY_VERIFY2(link.lastRequest().startsWith('\x0b'), link.lastRequest().toHex(' ').constData());
    }
    window.reset();
    QVERIFY2(meter.worstMs() < StallBoundMs, qPrintable(QString::number(meter.worstMs())));
}

void tst_Monitor::editIsWrittenBack_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("written");   // whether a write was asked
    QTest::addColumn<int>("stored");     // register 0x11 in the module afterwards; -1: no module
    QTest::addColumn<QVariant>("shown"); // in the row afterwards
    QTest::addColumn<QString>("tip");
    QTest::newRow("hexadecimal") << "1/5" << "0x1234" << true << 0x1234 << QVariant(0x1234) << "";
    QTest::newRow("decimal, module at the top") << "2" << "65535" << true << 0xFFFF << QVariant(0xFFFF) << "";
    QTest::newRow("not a number") << "1/5" << "12ab" << false << 0x0501 << QVariant(0x0501) << "";
    QTest::newRow("past 16 bits") << "1/5" << "65536" << false << 0x0501 << QVariant(0x0501) << "";
    // The write fails: the row goes back to what was read, which is nothing.
    QTest::newRow("silent module") << "9" << "7" << true << -1 << QVariant() << "no reply";
}

void tst_Monitor::editIsWrittenBack()
{
    QFETCH(QString, path);
    QFETCH(QString, typed);
    QFETCH(bool, written);
    QFETCH(int, stored);
    QFETCH(QVariant, shown);
    QFETCH(QString, tip);
    std::unique_ptr<MonitorWindow> window = openWindow();
    QTRY_VERIFY(window->isLinkOpen());
    window->watch(path);
    RegisterItem *item = registerOf(*window, path, 1);
    QVERIFY(item);
    if (stored >= 0)
        QTRY_VERIFY(item->value().isValid());

    WarningCatcher warnings;
    QVERIFY(window->model()->setData(item->valueIndex(), typed));
    QCOMPARE(item->isWriting(), written);
    QCOMPARE(warnings.messages().filter("is not a number").size(), written ? 0 : 1);
    QTRY_VERIFY_WITH_TIMEOUT(!item->isWriting(), 10000);
    QCOMPARE(item->data(Qt::ToolTipRole).toString(), tip);
    QCOMPARE(item->value(), shown);
    if (stored >= 0)
        QCOMPARE(int(m_sim.link().module(path)->holdingRegister(0x11)), stored);
}

QTEST_MAIN(tst_Monitor)

#include "tst_monitor.moc"
