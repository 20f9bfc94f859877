#include "serialportdriver.h"

#include <QtCore/QUrlQuery>
#include <QtSerialPort/QSerialPort>
#include <QtSerialPort/QSerialPortInfo>

namespace {

constexpr qint32 DefaultBaudRate = 115200;

} // namespace

SerialPortDriver::SerialPortDriver(QObject *parent)
    : DeviceDriver(parent)
    , m_port(new QSerialPort)
{
    adoptDevice(m_port);
}

SerialPortDriver::~SerialPortDriver() = default;

bool SerialPortDriver::open()
{
    DeviceLocker locker(this);
    return m_port->open(QIODevice::ReadWrite);
}

bool SerialPortDriver::isOpen() const
{
    return m_port->isOpen();
}

void SerialPortDriver::close()
{
    DeviceLocker locker(this);
    m_port->close();
}

QStringList SerialPortDriver::avaliablePorts() const
{
    QStringList names;
    const QList<QSerialPortInfo> ports = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo &info : ports)
        names.append(info.portName());
    return names;
}

QString SerialPortDriver::portName() const
{
    QMutexLocker locker(const_cast<SerialPortDriver *>(this));
    return m_port->portName();
}

void SerialPortDriver::setPortName(const QString &name)
{
    const QUrl url(name);
    const QUrlQuery query(url);
    qint32 speed = DefaultBaudRate;
    if (query.hasQueryItem(QStringLiteral("baudrate")))
        speed = query.queryItemValue(QStringLiteral("baudrate")).toInt(nullptr, 10);

    // Name and speed are only stored (or, on an open port, applied to the line): no
    // notifier is touched, so the lock alone suffices.
    QMutexLocker locker(this);
    m_port->setPortName(url.path());
    // A speed the port refuses shows up when the port is opened or used.
    m_port->setBaudRate(speed, QSerialPort::AllDirections);
}

void SerialPortDriver::clear()
{
    DeviceLocker locker(this);
    if (!m_port->isOpen())
        return;
    m_port->readAll();
    // Between exchanges no event loop reads the port, so stale bytes wait in the
    // system's input queue rather than in the port's buffer: flush that too.
    m_port->clear(QSerialPort::Input);
}

QIODevice *SerialPortDriver::device() const
{
    return m_port;
}

qint32 SerialPortDriver::baudRate() const
{
    QMutexLocker locker(const_cast<SerialPortDriver *>(this));
    return m_port->baudRate(QSerialPort::Input);
}
