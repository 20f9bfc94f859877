#ifndef OPTIONS_H
#define OPTIONS_H

#include "linkaddress.h"

#include <QString>
#include <QStringList>

class CommandLine;

// The console's command line: global options anywhere, then a command and its
// arguments. Everything here is checked before anything is opened or sent.
struct Options {
    enum Format { Hex, Decimal, Signed };
    // How register values are read: one register each, or a pair per value.
    enum ValueType { Word, Int32, Uint32, Float32 };

    LinkAddress link;          // kind Embedded: the embedded simulated analyser
    QString path = QStringLiteral("1");
    bool behindGateway = false;  // the path ended in "/": scan behind it
    int timeout = -1;          // read time-out in ms; -1 keeps the driver's
    int interval = -1;         // read interval time-out in ms
    int retries = -1;          // attempts after the first; -1 keeps the client's
    Format format = Hex;
    ValueType type = Word;
    bool lowWordFirst = false; // 32-bit values: the low register first
    bool multipleWrite = false; // one item with functions 15/16, not 5/6
    bool json = false;
    bool csv = false;
    bool trace = false;
    QString pcap;              // capture file of every frame written and read
    int count = -1;            // poll: number of polls, -1 until Ctrl-C
    int period = -1;           // ms between polls; -1: the command's default
    QString in, out;           // file transfers; "-" is stdin or stdout
    bool clearLog = false;     // restart
    int polls = 1000;          // wait: busy answers before giving up
    QString command;
    QStringList args;
};

// The console's options and help, made from its option, command and exit-code tables.
CommandLine consoleCommandLine();

// Fills options from a command line that parsed; false with a message when a
// value is out of range or does not fit.
bool readOptions(const CommandLine &line, Options *options, QString *error);

// A module path: numbers 1-247 (decimal or 0x), gateways first, separated by
// "/". normalised gets the decimal form the library reads; a trailing "/" (the
// modules behind a gateway) is allowed only when behind is given.
bool parseModulePath(const QString &text, QString *normalised, bool *behind, QString *error);

#endif // OPTIONS_H
