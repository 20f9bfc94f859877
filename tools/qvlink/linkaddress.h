#ifndef LINKADDRESS_H
#define LINKADDRESS_H

#include <QString>
#include <QStringList>

class DeviceDriver;

// Where the console talks to, checked before anything is opened: a TCP link
// (socks://HOST:PORT), a serial port with its line settings in the query
// (/dev/ttyUSB0?baudrate=9600&parity=even), or, without --url, the embedded
// simulated analyser.
struct LinkAddress {
    enum Kind { Embedded, Tcp, Serial };

    Kind kind = Embedded;
    QString url;            // as given; the driver's port name
    QStringList warnings;   // query keys that mean nothing here

    // Serial line settings; 0 or empty keeps the port's default.
    int baudRate = 0;
    QString parity;         // none, even, odd
    int dataBits = 0;       // 5-8
    QString stopBits;       // 1, 1.5, 2
    QString flowControl;    // none, hardware, software
};

// False with a message that says what to write instead.
bool parseLinkAddress(const QString &text, LinkAddress *address, QString *error);

// Applies the serial line settings to a serial driver's port before it opens;
// the driver has already taken the name and speed from the URL.
void applySerialSettings(const LinkAddress &address, DeviceDriver *driver);

#endif // LINKADDRESS_H
