// Edits the named settings of a profile database in a property tree.
#include <QtCore/QDir>
#include <QtCore/QTranslator>
#include <QtWidgets/QApplication>
#include <QtWidgets/QLabel>

#include <commandline.h>
#include <profile.h>
#include <qvglobal.h>
#include <toolmessages.h>

#include <cstdio>

#include "profileeditor.h"
#include "startupsettings_p.h"

namespace {

enum ExitCode { Ok = 0, UsageError = 1, GrabFailed = 2 };

CommandLine editorCommandLine()
{
    CommandLine line(QStringLiteral("profileeditor"), QStringLiteral("[options] [PROFILE]"));
    line.setDescription(QStringLiteral(
        "Edits the named settings of PROFILE (by default the working directory's, as settings.ini\n"
        "names it, else profile.db), found as the application finds it. Values stored in the profile\n"
        "are shown plainly, defaults of settings never stored in grey italics. The texts are English\n"
        "unless settings.ini chooses another language (settings/language, such as zh_CN)."));
    line.addOptions({{"grab", "FILE", "render the editor to FILE (PNG) and quit; warnings go to stderr"}});
    line.setExitCodes({{Ok, "ok (a missing profile is a warning, shown above the tree)"},
                       {UsageError, "usage: a bad command line"},
                       {GrabFailed, "--grab: the picture could not be written"}});
    return line;
}

// The editor's own texts, beside the program as the library's are beside it.
void installEditorTranslation(QApplication &app)
{
    auto *translator = new QTranslator(&app);
    if (translator->load(QStringLiteral("profileeditor_") + chosenLanguage(), QCoreApplication::applicationDirPath()))
        QCoreApplication::installTranslator(translator);
}

} // namespace

int main(int argc, char *argv[])
{
    // The command line first, so that --help and --version need no display.
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    CommandLine line = editorCommandLine();
    const int finished = line.finish(line.parse(arguments));
    if (finished >= 0)
        return finished;
    if (line.arguments().size() > 1) {
        std::fprintf(stderr, "profileeditor: one profile at a time\nrun profileeditor --help for the options\n");
        return UsageError;
    }
    const bool grab = line.isSet("grab");
    if (grab && line.value("grab").isEmpty()) {
        std::fprintf(stderr, "profileeditor: --grab needs a file name\n");
        return UsageError;
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("profileeditor"));
    installToolMessageHandler();
    installTranslators(QStringLiteral("en"));
    installEditorTranslation(app);

    if (grab) {
        // Nobody is there to close a box: say it on the console instead.
        setMessageBoxHandler([](QMessageBox::Icon, const QString &, const QString &text,
                                QMessageBox::StandardButtons, QMessageBox::StandardButton defaultButton) {
            qWarning("%s", qPrintable(text));
            return defaultButton == QMessageBox::NoButton ? QMessageBox::Ok : defaultButton;
        });
    }

    // The name the profile is looked for by, as the store reads it, for the warning.
    const QString given = line.arguments().value(0, QStringLiteral("profile.db"));
    const QString name = StartupSettings().value(QStringLiteral("db/profile"), given).toString();
    Profile profile(given, nullptr);
    ProfileEditor editor(profile, QDir::current().absoluteFilePath(name));
    if (!editor.hasProfile())
        qWarning("%s", qPrintable(editor.warning()->text()));
    editor.show();

    if (grab) {
        QCoreApplication::processEvents();
        const QString file = line.value("grab");
        if (!editor.grab().save(file, "PNG")) {
            qWarning("cannot write %s", qPrintable(QDir::current().absoluteFilePath(file)));
            return GrabFailed;
        }
        return Ok;
    }
    return app.exec();
}
