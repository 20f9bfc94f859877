#include "serialportdriver.h"

#include "posixline_p.h"

#include <QtCore/QUrlQuery>
#include <QtSerialPort/QSerialPort>
#include <QtSerialPort/QSerialPortInfo>

namespace {

constexpr qint32 DefaultBaudRate = 115200;

} // namespace

SerialPortDriver::SerialPortDriver(QObject *parent)
    : DeviceDriver(parent)
    , m_port(new QSerialPort)
    , m_line(new PosixLine)
    , m_baudRate(m_port->baudRate(QSerialPort::Input))
{
    adoptDevice(m_port);
    useLine(m_line.data());
    m_line->setBitsPerSecond(m_baudRate.load(std::memory_order_relaxed));
}

SerialPortDriver::~SerialPortDriver()
{
    retire();
}

bool SerialPortDriver::open()
{
    DeviceLocker locker(this);
    m_line->detach();
    const bool opened = m_port->open(QIODevice::ReadWrite);
    if (opened)
        m_line->attach(int(m_port->handle()), PosixLine::Terminal);
    publishDeviceState();
    return opened;
}

bool SerialPortDriver::isOpen() const
{
    return publishedOpen();
}

void SerialPortDriver::close()
{
    interruptLine();
    DeviceLocker locker(this);
    m_line->detach();
    m_port->close();
    publishDeviceState();
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
    return publishedPortName();
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
    LineLocker locker(this);
    m_port->setPortName(url.path());
    // A speed the port refuses shows up when the port is opened or used.
    m_port->setBaudRate(speed, QSerialPort::AllDirections);
    publishPortName(m_port->portName());
    m_baudRate.store(m_port->baudRate(QSerialPort::Input), std::memory_order_relaxed);
    m_line->setBitsPerSecond(m_baudRate.load(std::memory_order_relaxed));
}

void SerialPortDriver::clear()
{
    LineLocker locker(this);
    if (publishedOpen())
        discard();
}

QIODevice *SerialPortDriver::device() const
{
    return m_port;
}

qint32 SerialPortDriver::baudRate() const
{
    return m_baudRate.load(std::memory_order_relaxed);
}
