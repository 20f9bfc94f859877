#ifndef OPTIONS_H
#define OPTIONS_H

#include <QString>
#include <QStringList>

// The console's command line: global options anywhere, then a command and its
// arguments.
struct Options {
    enum Format { Hex, Decimal, Signed };

    QString url;              // empty: the embedded simulated analyser
    QString path = QStringLiteral("1");
    int timeout = -1;         // read time-out in ms; -1 keeps the driver's
    int interval = -1;        // read interval time-out in ms
    Format format = Hex;
    bool json = false;
    bool trace = false;
    QString pcap;             // capture file of every frame written and read
    int count = -1;           // poll: number of rounds, -1 until Ctrl-C
    int period = 1000;        // poll: ms between rounds
    QString in, out;          // file transfers
    bool clearLog = false;    // restart
    int polls = 1000;         // wait: busy answers before giving up
    QString command;
    QStringList args;
};

// False with a message for a bad command line.
bool parseOptions(const QStringList &arguments, Options *options, QString *error);
QString usageText();

// A number in decimal or with 0x for hex; false when it is not one or out of range.
bool parseNumber(const QString &text, qint64 low, qint64 high, qint64 *value);

#endif // OPTIONS_H
