#include "linkaddress.h"

#include <commandline.h>
#include <devicedriver.h>

#include <QSerialPort>
#include <QUrl>
#include <QUrlQuery>

namespace {

const char UseInstead[] = "use socks://HOST:PORT or a serial port such as /dev/ttyUSB0?baudrate=9600";

bool oneOf(const QString &key, const QString &value, const QStringList &allowed, QString *target, QString *error)
{
    if (!allowed.contains(value)) {
        *error = QStringLiteral("%1=%2 in --url: %1 is one of %3").arg(key, value, allowed.join(QStringLiteral(", ")));
        return false;
    }
    *target = value;
    return true;
}

bool parseSerialQuery(const QUrlQuery &query, LinkAddress *a, QString *error)
{
    const auto items = query.queryItems(QUrl::FullyDecoded);
    for (const auto &item : items) {
        const QString &key = item.first;
        const QString &value = item.second;
        qint64 n = 0;
        if (key == QLatin1String("baudrate")) {
            if (!parseNumber(value, 1, 10000000, &n)) {
                *error = QStringLiteral("baudrate=%1 in --url: the speed is a number of bits per second").arg(value);
                return false;
            }
            a->baudRate = int(n);
        } else if (key == QLatin1String("databits")) {
            if (!parseNumber(value, 5, 8, &n)) {
                *error = QStringLiteral("databits=%1 in --url: data bits are 5, 6, 7 or 8").arg(value);
                return false;
            }
            a->dataBits = int(n);
        } else if (key == QLatin1String("parity")) {
            if (!oneOf(key, value, {"none", "even", "odd"}, &a->parity, error))
                return false;
        } else if (key == QLatin1String("stopbits")) {
            if (!oneOf(key, value, {"1", "1.5", "2"}, &a->stopBits, error))
                return false;
        } else if (key == QLatin1String("flowcontrol")) {
            if (!oneOf(key, value, {"none", "hardware", "software"}, &a->flowControl, error))
                return false;
        } else {
            a->warnings << QStringLiteral("--url: ignoring the unknown query key \"%1\" (a serial port takes baudrate,"
                                          " parity, databits, stopbits and flowcontrol)").arg(key);
        }
    }
    return true;
}

} // namespace

bool parseLinkAddress(const QString &text, LinkAddress *a, QString *error)
{
    a->url = text.trimmed();
    if (a->url.isEmpty()) {
        *error = QStringLiteral("--url is empty: %1 (leave --url out for the embedded simulated analyser)")
                     .arg(QLatin1String(UseInstead));
        return false;
    }
    const QUrl url(a->url, QUrl::StrictMode);
    if (!url.isValid()) {
        // Qt's text goes on to repeat the URL's parts; its first sentence says it.
        *error = QStringLiteral("--url %1 is not a valid URL: %2")
                     .arg(a->url, url.errorString().section(QLatin1Char(';'), 0, 0));
        return false;
    }
    const QUrlQuery query(url);
    if (url.scheme() == QLatin1String("socks")) {
        a->kind = LinkAddress::Tcp;
        if (url.host().isEmpty()) {
            *error = QStringLiteral("--url %1 names no host: use socks://HOST:PORT").arg(a->url);
            return false;
        }
        // QUrl refuses ports above 65535 itself.
        if (url.port() < 1) {
            *error = QStringLiteral("--url %1 needs a port from 1 to 65535: use socks://HOST:PORT").arg(a->url);
            return false;
        }
        for (const auto &item : query.queryItems())
            a->warnings << QStringLiteral("--url: ignoring the query key \"%1\" (a TCP link takes none)")
                               .arg(item.first);
        if (!url.path().isEmpty() && url.path() != QLatin1String("/"))
            a->warnings << QStringLiteral("--url: ignoring the path \"%1\"").arg(url.path());
        return true;
    }
    if (!url.scheme().isEmpty()) {
        *error = QStringLiteral("--url %1: unknown scheme \"%2\"; %3").arg(a->url, url.scheme(), UseInstead);
        return false;
    }
    a->kind = LinkAddress::Serial;
    if (url.path().isEmpty()) {
        *error = QStringLiteral("--url %1 names no port; %2").arg(a->url, UseInstead);
        return false;
    }
    return parseSerialQuery(query, a, error);
}

void applySerialSettings(const LinkAddress &a, DeviceDriver *driver)
{
    auto *port = qobject_cast<QSerialPort *>(driver->device());
    if (!port)
        return;
    DeviceDriver::DeviceLocker locker(driver);
    if (a.dataBits)
        port->setDataBits(QSerialPort::DataBits(a.dataBits));
    if (!a.parity.isEmpty())
        port->setParity(a.parity == QLatin1String("even") ? QSerialPort::EvenParity
                        : a.parity == QLatin1String("odd") ? QSerialPort::OddParity
                                                           : QSerialPort::NoParity);
    if (!a.stopBits.isEmpty())
        port->setStopBits(a.stopBits == QLatin1String("2") ? QSerialPort::TwoStop
                          : a.stopBits == QLatin1String("1.5") ? QSerialPort::OneAndHalfStop
                                                               : QSerialPort::OneStop);
    if (!a.flowControl.isEmpty())
        port->setFlowControl(a.flowControl == QLatin1String("hardware") ? QSerialPort::HardwareControl
                             : a.flowControl == QLatin1String("software") ? QSerialPort::SoftwareControl
                                                                          : QSerialPort::NoFlowControl);
}
