#include <devicedriver.h>
#include <messagebuilder.h>
#include <modbusclient.h>
#include <modulestatus.h>
#include <serialportdriver.h>
#include <socketdriver.h>

#include <QtCore/QElapsedTimer>
#include <QtCore/QPointer>
#include <QtCore/QThread>
#include <QtNetwork/QTcpServer>
#include <QtNetwork/QTcpSocket>
#include <QtSerialPort/QSerialPort>
#include <QtTest/QtTest>

#include <atomic>
#include <fcntl.h>
#include <netinet/in.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

// A raw pseudo-terminal pair; the slave's name is what a SerialPortDriver opens.
struct PtyPair
{
    int master = -1;
    int slave = -1;
    QString slaveName;

    PtyPair()
    {
        char name[128] = {};
        if (::openpty(&master, &slave, name, nullptr, nullptr) != 0)
            return;
        termios raw;
        ::tcgetattr(slave, &raw);
        ::cfmakeraw(&raw);
        ::tcsetattr(slave, TCSANOW, &raw);
        slaveName = QString::fromLocal8Bit(name);
    }
    ~PtyPair()
    {
        if (slave >= 0)
            ::close(slave);
        if (master >= 0)
            ::close(master);
    }
    bool isValid() const { return master >= 0; }
};

// A loopback port on which nothing listens.
quint16 unusedPort()
{
    QTcpServer server;
    if (!server.listen(QHostAddress::LocalHost, 0))
        return 0;
    const quint16 port = server.serverPort();
    server.close();
    return port;
}

} // namespace

class tst_DeviceDriver : public QObject
{
    Q_OBJECT

private slots:
    void factoryPicksDriverByScheme_data();
    void factoryPicksDriverByScheme();
    void recursiveLockFromTwoThreads();
    void deviceRestsWithoutThread();
    void driverDeletesItsDevice();

    void serialPortNameCarriesSpeed_data();
    void serialPortNameCarriesSpeed();
    void serialOpenFailsOnMissingPort();
    void serialClearDiscardsWaitingInput();

    void socketKeepsPortNameAndListsNoPorts();
    void socketOpenFailures_data();
    void socketOpenFailures();
    void socketOpensAndClearDrainsStaleBytes();
    void socketConnectEndsAtOnce_data();
    void socketConnectEndsAtOnce();
};

void tst_DeviceDriver::factoryPicksDriverByScheme_data()
{
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<bool>("socket");

    QTest::newRow("socks") << QUrl(QStringLiteral("socks://127.0.0.1:5020")) << true;
    QTest::newRow("socks without port") << QUrl(QStringLiteral("socks://127.0.0.1")) << true;
    QTest::newRow("serial scheme") << QUrl(QStringLiteral("serial:/dev/ttyS0")) << false;
    QTest::newRow("no scheme") << QUrl(QStringLiteral("COM3?baudrate=9600")) << false;
    QTest::newRow("empty") << QUrl() << false;
    QTest::newRow("scheme differs in case") << QUrl(QStringLiteral("SOCKSX://127.0.0.1:1")) << false;
}

void tst_DeviceDriver::factoryPicksDriverByScheme()
{
    QFETCH(QUrl, url);
    QFETCH(bool, socket);

    QObject parent;
    DeviceDriver *driver = DeviceDriver::create(url, &parent);
    QVERIFY(driver);
    QCOMPARE(driver->parent(), &parent);
    QCOMPARE(dynamic_cast<SocketDriver *>(driver) != nullptr, socket);
    QCOMPARE(dynamic_cast<SerialPortDriver *>(driver) != nullptr, !socket);
    QCOMPARE(driver->metaObject()->className(), socket ? "DeviceDriver" : "SerialPortDriver");

    // Created closed, with defaults, and nothing of the URL applied.
    QVERIFY(!driver->isOpen());
    QVERIFY(driver->portName().isEmpty());
    QVERIFY(driver->url().isEmpty());
    QCOMPARE(driver->writeTimeouts(), 100);
    QCOMPARE(driver->readTimeouts(), 100);
    QCOMPARE(driver->readIntervalTimeouts(), 50);
    QVERIFY(driver->device());
    QVERIFY(driver->isRecursive());

    driver->setReadTimeouts(-7);
    driver->setUrl(url);
    QCOMPARE(driver->readTimeouts(), -7);
    QCOMPARE(driver->url(), url);
}

void tst_DeviceDriver::recursiveLockFromTwoThreads()
{
    SocketDriver driver;
    QMutexLocker outer(&driver);
    {
        // The owner may take it again (what an operation spanning several exchanges does).
        QMutexLocker inner(&driver);
        QVERIFY(driver.tryLock());
        driver.unlock();
    }

    std::atomic<int> stage{ 0 };
    bool triedWhileHeld = true;
    std::thread other([&] {
        triedWhileHeld = driver.tryLock();
        stage = 1;
        QMutexLocker locker(&driver); // waits for the owner
        stage = 2;
    });
    QElapsedTimer timer;
    timer.start();
    while (stage.load() < 1 && timer.elapsed() < 5000)
        QThread::msleep(1);
    QThread::msleep(30);
    QCOMPARE(stage.load(), 1);
    QVERIFY(!triedWhileHeld);

    outer.unlock();
    other.join();
    QCOMPARE(stage.load(), 2);
    QVERIFY(driver.tryLock());
    driver.unlock();
}

void tst_DeviceDriver::deviceRestsWithoutThread()
{
    SerialPortDriver driver;
    QIODevice *device = driver.device();
    QCOMPARE(device->thread(), static_cast<QThread *>(nullptr));
    {
        DeviceDriver::DeviceLocker locker(&driver);
        QCOMPARE(device->thread(), QThread::currentThread());
        {
            DeviceDriver::DeviceLocker nested(&driver);
            QCOMPARE(device->thread(), QThread::currentThread());
        }
        QCOMPARE(device->thread(), QThread::currentThread());
    }
    QCOMPARE(device->thread(), static_cast<QThread *>(nullptr));

    QThread *seen = nullptr;
    QThread *worker = QThread::create([&] {
        DeviceDriver::DeviceLocker locker(&driver);
        seen = device->thread();
    });
    worker->start();
    QVERIFY(worker->wait(5000));
    QCOMPARE(seen, worker);
    delete worker;
    QCOMPARE(device->thread(), static_cast<QThread *>(nullptr));
}

void tst_DeviceDriver::driverDeletesItsDevice()
{
    QObject *parent = new QObject;
    DeviceDriver *driver = DeviceDriver::create(QUrl(QStringLiteral("socks://127.0.0.1:1")), parent);
    QPointer<QIODevice> device = driver->device();
    QVERIFY(device);
    delete parent;
    QVERIFY(!device);
}

void tst_DeviceDriver::serialPortNameCarriesSpeed_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("portName");
    QTest::addColumn<int>("baudRate");

    QTest::newRow("name and speed") << "COM3?baudrate=9600" << "COM3" << 9600;
    QTest::newRow("name alone") << "COM3" << "COM3" << 115200;
    QTest::newRow("device path") << "/dev/ttyS1?baudrate=19200" << "ttyS1" << 19200;
    QTest::newRow("other query item") << "COM4?parity=even" << "COM4" << 115200;
    QTest::newRow("speed not a number") << "COM5?baudrate=fast" << "COM5" << 0;
}

void tst_DeviceDriver::serialPortNameCarriesSpeed()
{
    QFETCH(QString, name);
    QFETCH(QString, portName);
    QFETCH(int, baudRate);

    SerialPortDriver driver;
    driver.setPortName(name);
    QCOMPARE(driver.portName(), portName);
    QCOMPARE(driver.baudRate(), baudRate);
    auto *port = qobject_cast<QSerialPort *>(driver.device());
    QVERIFY(port);
    QCOMPARE(port->baudRate(QSerialPort::Output), baudRate);
    QCOMPARE(port->dataBits(), QSerialPort::Data8);
    QCOMPARE(port->parity(), QSerialPort::NoParity);
}

void tst_DeviceDriver::serialOpenFailsOnMissingPort()
{
    SerialPortDriver driver;
    driver.setPortName(QStringLiteral("/dev/qv-no-such-port?baudrate=9600"));
    QVERIFY(!driver.open());
    QVERIFY(!driver.isOpen());
    QVERIFY(!driver.errorString().isEmpty());
}

void tst_DeviceDriver::serialClearDiscardsWaitingInput()
{
    PtyPair pty;
    if (!pty.isValid())
        QSKIP("no pseudo-terminal available");
    SerialPortDriver driver;
    driver.setPortName(pty.slaveName + QStringLiteral("?baudrate=9600"));
    QVERIFY2(driver.open(), qPrintable(driver.errorString()));
    QCOMPARE(driver.baudRate(), 9600);

    const QByteArray stale = QByteArray::fromHex("01 03 04 00 01");
    QCOMPARE(::write(pty.master, stale.constData(), size_t(stale.size())), ssize_t(stale.size()));
    QThread::msleep(20);
    driver.clear();

    DeviceDriver::DeviceLocker locker(&driver);
    QIODevice *device = driver.device();
    QCOMPARE(device->bytesAvailable(), qint64(0));
    QVERIFY(!device->waitForReadyRead(30));

    // The line still works after clearing.
    const QByteArray fresh = QByteArray::fromHex("05 06");
    QCOMPARE(::write(pty.master, fresh.constData(), 2), ssize_t(2));
    QVERIFY(device->waitForReadyRead(1000));
    QCOMPARE(device->readAll(), fresh);
}

void tst_DeviceDriver::socketKeepsPortNameAndListsNoPorts()
{
    SocketDriver driver;
    const QString name = QStringLiteral("socks://127.0.0.1:5020");
    driver.setPortName(name);
    QCOMPARE(driver.portName(), name);
    QVERIFY(driver.avaliablePorts().isEmpty());
    QVERIFY(!driver.isOpen());
}

void tst_DeviceDriver::socketOpenFailures_data()
{
    QTest::addColumn<QString>("portName");
    QTest::addColumn<QString>("errorPart");

    QTest::newRow("no port number") << "socks://127.0.0.1" << "No port number";
    QTest::newRow("nothing listens") << QStringLiteral("socks://127.0.0.1:%1").arg(unusedPort()) << "";
}

void tst_DeviceDriver::socketOpenFailures()
{
    QFETCH(QString, portName);
    QFETCH(QString, errorPart);

    SocketDriver driver;
    driver.setPortName(portName);
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!driver.open());
    QVERIFY2(timer.elapsed() < 10000, "a refused or impossible connection must not take the full wait");
    QVERIFY(!driver.isOpen());
    QVERIFY(!driver.errorString().isEmpty());
    QVERIFY2(driver.errorString().contains(errorPart), qPrintable(driver.errorString()));
}

void tst_DeviceDriver::socketOpensAndClearDrainsStaleBytes()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    SocketDriver driver;
    driver.setPortName(QStringLiteral("socks://127.0.0.1:%1").arg(server.serverPort()));
    QVERIFY2(driver.open(), qPrintable(driver.errorString()));
    QVERIFY(driver.isOpen());
    QVERIFY(server.waitForNewConnection(2000));
    QTcpSocket *peer = server.nextPendingConnection();
    QVERIFY(peer);

    // Late bytes of an earlier reply: they must not become the start of the next one.
    peer->write(QByteArray::fromHex("01 03 04 00 2a 00 2b"));
    QVERIFY(peer->waitForBytesWritten(1000));
    QThread::msleep(30);
    driver.clear();
    {
        DeviceDriver::DeviceLocker locker(&driver);
        QCOMPARE(driver.device()->bytesAvailable(), qint64(0));
        QVERIFY(!driver.device()->waitForReadyRead(30));
    }

    peer->write(QByteArray::fromHex("01 03"));
    QVERIFY(peer->waitForBytesWritten(1000));
    {
        DeviceDriver::DeviceLocker locker(&driver);
        QVERIFY(driver.device()->waitForReadyRead(1000));
        QCOMPARE(driver.device()->readAll(), QByteArray::fromHex("01 03"));
    }

    driver.close();
    QVERIFY(!driver.isOpen());
    QVERIFY(driver.open());
    QVERIFY(server.waitForNewConnection(2000));
}

void tst_DeviceDriver::socketConnectEndsAtOnce_data()
{
    QTest::addColumn<bool>("destroy");
    QTest::newRow("closed") << false;
    QTest::newRow("destroyed") << true;
}

// A host that never completes the connection: a listener whose queue one connection
// fills. While open() waits for it, other threads' exchanges answer at once, and close()
// or destroying the driver end the wait instead of waiting its 30 seconds out.
void tst_DeviceDriver::socketConnectEndsAtOnce()
{
    QFETCH(bool, destroy);
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    QVERIFY(::bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0);
    QVERIFY(::listen(listener, 0) == 0);
    QVERIFY(::getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) == 0);
    const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    ::connect(filler, reinterpret_cast<sockaddr *>(&address), sizeof address);

    auto *driver = new SocketDriver;
    driver->setPortName(QStringLiteral("socks://127.0.0.1:%1").arg(ntohs(address.sin_port)));
    QCOMPARE(driver->errorString(), QString()); // nothing has failed yet
    std::atomic<bool> opened{ true };
    QElapsedTimer timer;
    timer.start();
    std::thread opener([&] { opened = driver->open(); });
    QThread::msleep(50); // into the connect

    ModbusClient client;
    client.setDriver(driver);
    MessageBuilder builder(2);
    builder.readWord(0, 1);
    QCOMPARE(client.talk(builder), int(Modbus::ModuleStatus::NotOpenError));
    if (destroy)
        delete driver;
    else
        driver->close();
    opener.join();
    QVERIFY2(timer.elapsed() < 10000, "the connect was waited out");
    QVERIFY(!opened);
    if (!destroy) {
        QVERIFY(!driver->isOpen());
        QCOMPARE(driver->errorString(), QStringLiteral("The connection was cancelled"));
        delete driver;
    }
    ::close(filler);
    ::close(listener);
}

QTEST_GUILESS_MAIN(tst_DeviceDriver)
#include "tst_devicedriver.moc"
