#include "console.h"
#include <toolmessages.h>

#include <QTextStream>

namespace {

struct Step {
    const char *explanation;
    const char *path;
    QStringList command;
    bool trace;
    const char *shownOptions = "";  // what the command line needs for what every step is given
};

} // namespace

// Runs the main operations one after another on the embedded simulator, each with
// a line that says what it shows and the command line that does it by hand.
int runWalkthrough(Console &console)
{
    QTextStream &out = toolOut();
    out << "A walkthrough of the service console against the embedded simulated analyser:\n"
           "module 1 is a gateway with modules 5 and 6 behind it, module 5 a gateway with 3\n"
           "behind it, and module 2 a plain module on the link.\n";
    out.flush();
    console.options().link = LinkAddress();
    if (!console.connectLink())
        return 2;

    const QList<Step> steps = {
        {"Read four holding registers of module 1; register 0 holds the module's address.", "1",
         {"read-holding", "0", "4"}, false},
        {"The same through gateway 1 to module 5, with every frame traced: the request carries\n"
         "the route 2b 0c 05, and the reply repeats it before module 5's own answer.", "1/5",
         {"read-holding", "0", "2"}, true},
        {"Sixteen coils of module 2, one per line.", "2", {"read-coils", "0", "16"}, false},
        {"Write two holding registers and read them back.", "2", {"write-holding", "0x10", "1234", "0xbeef"}, false},
        {"", "2", {"read-holding", "0x10", "2"}, false},
        {"Identification objects of module 6 (behind gateway 1).", "1/6", {"identify"}, false},
        {"Twelve records of file 2 of module 2.", "2", {"read-file", "2", "0", "12"}, false},
        {"The checksummed block (trunk) in file 1 of module 3, two gateways away, checked.", "1/5/3",
         {"read-trunk", "1"}, false},
        {"Restart module 2: its event counter then reports busy until it has finished.", "2",
         {"restart"}, false},
        {"", "2", {"events"}, false},
        {"Wait for it: the console polls the event counter until the module is idle.", "2", {"wait"}, false},
        {"Look for modules on the link, then behind gateway 1.", "1", {"scan", "1", "8"}, false},
        {"", "1/", {"scan", "1", "8"}, false},
        {"An address where no module answers behind gateway 1: the gateway reports it.", "1/9",
         {"read-holding", "0"}, false},
        {"Poll a register three times, ending with a summary in the manner of ping.", "1",
         {"poll", "read-holding", "0x20"}, false, "--count 3 --period 200 "},
    };
    int failures = 0;
    for (const Step &step : steps) {
        if (*step.explanation)
            out << "\n# " << step.explanation << "\n";
        out << "$ qvlink --path " << step.path << (step.trace ? " --trace " : " ") << step.shownOptions
            << step.command.join(' ') << "\n";
        out.flush();
        QString error;
        parseModulePath(QString::fromLatin1(step.path), &console.options().path, &console.options().behindGateway,
                        &error);
        console.options().trace = step.trace;
        console.options().count = 3;
        console.options().period = 200;
        const int rc = console.runCommand(step.command.first(), step.command.mid(1));
        if (rc != 0 && QString::fromLatin1(step.path) != "1/9")
            ++failures;
        if (QString::fromLatin1(step.path) == "1/9")
            out << "(exit code " << rc << ": an exception; every kind of failure has its own code)\n";
        out.flush();
    }
    out << "\nEvery command works the same against an instrument: add --url socks://HOST:PORT or\n"
           "--url /dev/ttyUSB0?baudrate=115200. qvlink --help lists them all.\n";
    return failures ? 1 : 0;
}
