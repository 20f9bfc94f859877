// qvlink: the service console for the analyser's electronic modules.

#include "console.h"
#include "options.h"

#include <commandline.h>
#include <pcapwriter.h>
#include <qvglobal.h>
#include <toolmessages.h>

#include <QCoreApplication>

int main(int argc, char **argv)
{
    PcapWriter::guardStandardStreams();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qvlink"));
    installToolMessageHandler();
    installTranslators(QStringLiteral("en"));
    const QStringList args = app.arguments().mid(1);
    CommandLine line = consoleCommandLine();
    if (args.isEmpty()) {
        toolErr() << line.helpText();
        return CommandLine::UsageExit;
    }
    if (args.first() == QLatin1String("help"))
        return line.finish(CommandLine::Help);
    const CommandLine::Outcome outcome = line.parse(args);
    // A live capture owns stdout; everything else the console says goes to stderr.
    if (line.value(QStringLiteral("pcap")) == QLatin1String("-"))
        moveToolOutputToStderr();
    // --json asks for an object even when the rest of the line cannot be read.
    const bool json = args.contains(QStringLiteral("--json"));
    if (outcome == CommandLine::Invalid)
        return Console::usageError(line.errorText(), json);
    if (outcome != CommandLine::Run)
        return line.finish(outcome);
    Options options;
    QString error;
    if (!readOptions(line, &options, &error))
        return Console::usageError(error, json, line.arguments().value(0));
    Console console(options);
    return console.run();
}
