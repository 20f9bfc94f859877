// Edits the named settings of a profile database in a property tree.
//
//   profileeditor [PROFILE]            edit PROFILE (by default "profile.db",
//                                      found as the application finds it)
//   profileeditor --grab FILE [PROFILE] render the editor to FILE (PNG) and quit
#include <QtCore/QCommandLineParser>
#include <QtWidgets/QApplication>

#include <profile.h>
#include <qvglobal.h>

#include "profileeditor.h"

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("profileeditor"));
    installTranslators();

    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral("Edits the named settings of a profile."));
    parser.addHelpOption();
    const QCommandLineOption grab(QStringLiteral("grab"),
                                  QStringLiteral("Render the editor to <file> (PNG) and quit."),
                                  QStringLiteral("file"));
    parser.addOption(grab);
    parser.addPositionalArgument(QStringLiteral("profile"), QStringLiteral("The profile database."),
                                 QStringLiteral("[profile]"));
    parser.process(app);

    if (parser.isSet(grab)) {
        // Nobody is there to close a box: say it on the console instead.
        setMessageBoxHandler([](QMessageBox::Icon, const QString &, const QString &text,
                                QMessageBox::StandardButtons, QMessageBox::StandardButton defaultButton) {
            qWarning("profileeditor: %s", qPrintable(text));
            return defaultButton == QMessageBox::NoButton ? QMessageBox::Ok : defaultButton;
        });
    }

    const QStringList names = parser.positionalArguments();
    Profile profile(names.value(0, QStringLiteral("profile.db")), nullptr);
    ProfileEditor editor(profile);
    editor.show();

    if (parser.isSet(grab)) {
        QCoreApplication::processEvents();
        const QString file = parser.value(grab);
        if (!editor.grab().save(file, "PNG")) {
            qWarning("profileeditor: cannot write %s", qPrintable(file));
            return 1;
        }
        return 0;
    }
    return app.exec();
}
