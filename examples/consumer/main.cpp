// Uses a little of every family of the installed library and prints what it got,
// so that a wrong header, export or link shows at once.
#include <bitarray.h>
#include <clotcurve.h>
#include <devicedriver.h>
#include <messagebuilder.h>
#include <modbusclient.h>
#include <modulestatus.h>
#include <oeminfo.h>
#include <qvcoreversion.h>

#include <QCoreApplication>
#include <QDir>
#include <QMutexLocker>
#include <QTextStream>
#include <QUrl>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);

    MessageBuilder request(QStringLiteral("1/5"));
    request.readWord(0x10, 2);
    out << "request = " << request.buffer().toHex(' ') << "\n";
    out << "crc16(123456789) = " << QString::number(crc16("123456789", 9), 16) << "\n";
    out << "gates of 1/5 = " << request.gateCount() << "\n";

    Modbus::ModuleStatus status;
    status.setException(5, 0x83, 2);
    out << "exception = " << QString::number(static_cast<quint32>(status.data()), 16) << "\n";

    DeviceDriver *driver = DeviceDriver::create(QUrl(QStringLiteral("socks://127.0.0.1:1")), &app);
    ModbusClient client;
    client.setDriver(driver);
    out << "driver read time-out = " << driver->readTimeouts() << "\n";
    // Callers serialise their exchanges on a driver as on any mutex, nested or not.
    {
        QMutexLocker locker(driver);
        const bool nests = driver->tryLock();
        if (nests)
            driver->unlock();
        out << "driver lock nests = " << (nests ? "yes" : "no") << "\n";
    }

    ClotCurve curve;
    curve.append(0.0, 0.1, QVector<double>(100, 1000.0));
    out << "curve points = " << curve.toType(ClotCurve::OpticalDensity).size() << "\n";

    BitArray bits(10);
    bits.setBit(3, true);
    out << "bits = " << QString::number(static_cast<unsigned char>(bits.data()[0]), 16) << "\n";

    out << "oem = " << OemInfo::oemIdText() << "\n";
    // The Qt the package was built with, the one this program compiled against, the one it runs on.
    out << "qt = " << QVCORE_QT_MAJOR << " " << QT_VERSION_MAJOR << " "
        << QString::fromLatin1(qVersion()).section(QLatin1Char('.'), 0, 0) << "\n";
    out << "translations = " << (QDir(QStringLiteral(QVCORE_TRANSLATIONS)).exists() ? "present" : "missing") << "\n";
    // The version compiled against and the one of the library it runs against.
    static_assert(QVCORE_VERSION >= QVCORE_VERSION_CHECK(1, 0, 0), "QvCore 1.0 or later");
    out << "version = " << QVCORE_VERSION_STR << " " << qvCoreVersion() << "\n";
    return 0;
}
