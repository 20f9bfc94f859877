#include "options.h"

bool parseNumber(const QString &text, qint64 low, qint64 high, qint64 *value)
{
    bool ok = false;
    const QString t = text.trimmed();
    qint64 v = 0;
    if (t.startsWith("-0x") || t.startsWith("-0X"))
        v = -t.mid(3).toLongLong(&ok, 16);
    else if (t.startsWith("0x") || t.startsWith("0X"))
        v = t.mid(2).toLongLong(&ok, 16);
    else
        v = t.toLongLong(&ok, 10);
    if (!ok || v < low || v > high)
        return false;
    *value = v;
    return true;
}

QString usageText()
{
    return QStringLiteral(
        "usage: qvlink [options] COMMAND [ARGS]\n"
        "\n"
        "Connection (without --url the embedded simulated analyser is started on loopback):\n"
        "  --url URL            socks://HOST:PORT, or a serial port such as /dev/ttyUSB0?baudrate=9600\n"
        "  --path PATH          module path, gateways first: 1, 1/5, 1/5/3 (default 1)\n"
        "  --timeout MS         time-out for the first byte of a reply (default 100)\n"
        "  --interval MS        time-out between the bytes of a reply (default 50)\n"
        "Output:\n"
        "  --hex | --dec | --signed   register values (default hex)\n"
        "  --json               machine-readable output on stdout\n"
        "  --trace              every frame written and read, on stderr\n"
        "  --pcap FILE          the same frames to a capture file for Wireshark\n"
        "\n"
        "Commands:\n"
        "  ports                         serial ports of this machine\n"
        "  read-coils ADDR [N]           coils (function 1)\n"
        "  read-inputs ADDR [N]          discrete inputs (function 2)\n"
        "  read-holding ADDR [N]         holding registers (function 3)\n"
        "  read-input-registers ADDR [N] input registers (function 4)\n"
        "  write-coils ADDR V...         coils, each 0 or 1 (function 15)\n"
        "  write-holding ADDR V...       holding registers (function 16)\n"
        "  read-file FILE RECORD N [--out F]   file records (to a binary file)\n"
        "  write-file FILE RECORD --in F       file records from a binary file\n"
        "  read-trunk FILE               a checksummed block from record 0, checked\n"
        "  identify                      all identification objects\n"
        "  events                        status word and event counter\n"
        "  wait [--polls N]              poll until the module is no longer busy\n"
        "  restart [--clear-log]         restart the module\n"
        "  bootloader                    restart into the boot loader\n"
        "  raw HEX                       pass bytes through (encapsulated) and show the answer\n"
        "  scan [FROM [TO]]              look for modules at addresses (behind --path when it\n"
        "                                names a gateway with --path 1/)\n"
        "  poll [--count N] [--period MS] COMMAND ARGS   repeat a read; Ctrl-C ends it\n"
        "  walkthrough                   a short tour against the embedded simulator\n"
        "\n"
        "Exit codes: 0 ok, 1 usage, 2 cannot connect, 3 time-out, 4 invalid reply, 5 exception,\n"
        "6 device error, 7 write error, 8 bad data (trunk checksum, file), 9 some polls failed.\n");
}

bool parseOptions(const QStringList &arguments, Options *o, QString *error)
{
    auto intArg = [&](int &i, const QString &name, qint64 low, qint64 high, int *target) {
        qint64 v = 0;
        if (i + 1 >= arguments.size() || !parseNumber(arguments.at(i + 1), low, high, &v)) {
            *error = QStringLiteral("%1 needs a number from %2 to %3").arg(name).arg(low).arg(high);
            return false;
        }
        *target = int(v);
        ++i;
        return true;
    };
    auto textArg = [&](int &i, const QString &name, QString *target) {
        if (i + 1 >= arguments.size()) {
            *error = QStringLiteral("%1 needs a value").arg(name);
            return false;
        }
        *target = arguments.at(++i);
        return true;
    };
    for (int i = 0; i < arguments.size(); ++i) {
        const QString &a = arguments.at(i);
        bool ok = true;
        if (a == "--url") ok = textArg(i, a, &o->url);
        else if (a == "--path") ok = textArg(i, a, &o->path);
        else if (a == "--timeout") ok = intArg(i, a, 1, 60000, &o->timeout);
        else if (a == "--interval") ok = intArg(i, a, 1, 60000, &o->interval);
        else if (a == "--count") ok = intArg(i, a, 1, 1000000, &o->count);
        else if (a == "--period") ok = intArg(i, a, 0, 3600000, &o->period);
        else if (a == "--polls") ok = intArg(i, a, 1, 1000000, &o->polls);
        else if (a == "--in") ok = textArg(i, a, &o->in);
        else if (a == "--out") ok = textArg(i, a, &o->out);
        else if (a == "--pcap") ok = textArg(i, a, &o->pcap);
        else if (a == "--hex") o->format = Options::Hex;
        else if (a == "--dec") o->format = Options::Decimal;
        else if (a == "--signed") o->format = Options::Signed;
        else if (a == "--json") o->json = true;
        else if (a == "--trace") o->trace = true;
        else if (a == "--clear-log") o->clearLog = true;
        else if (a.startsWith("--") && a.size() > 2) {
            *error = QStringLiteral("unknown option %1").arg(a);
            return false;
        } else if (o->command.isEmpty()) o->command = a;
        else o->args.append(a);
        if (!ok)
            return false;
    }
    if (o->command.isEmpty()) {
        *error = QStringLiteral("no command given");
        return false;
    }
    return true;
}
