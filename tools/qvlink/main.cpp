// qvlink: the service console for the analyser's electronic modules.

#include "console.h"
#include "options.h"

#include <qvglobal.h>

#include <QCoreApplication>
#include <QTextStream>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qvlink"));
    setDefaultCodec();
    const QStringList args = app.arguments().mid(1);
    if (args.isEmpty() || args.contains("--help") || args.contains("-h") || args.first() == "help") {
        QTextStream(args.isEmpty() ? stderr : stdout) << usageText();
        return args.isEmpty() ? 1 : 0;
    }
    Options options;
    QString error;
    if (!parseOptions(args, &options, &error)) {
        QTextStream(stderr) << "qvlink: " << error << "\nrun qvlink --help for the commands\n";
        return 1;
    }
    Console console(options);
    return console.run();
}
