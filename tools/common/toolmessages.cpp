#include "toolmessages.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <QSettings>

#include <cstdio>

namespace {

bool outputOnStderr = false;

void toolMessage(QtMsgType type, const QMessageLogContext &, const QString &text)
{
    if (type == QtDebugMsg || type == QtInfoMsg)
        return;
    const QString line = QCoreApplication::applicationName() + QStringLiteral(": ") + withoutSourceLocation(text);
    std::fprintf(stderr, "%s\n", line.toLocal8Bit().constData());
    std::fflush(stderr);
}

} // namespace

void installToolMessageHandler()
{
    qInstallMessageHandler(toolMessage);
}

QString withoutSourceLocation(const QString &text)
{
    static const QRegularExpression location(QStringLiteral("^\\S+\\.(?:cpp|cc|cxx|h):\\d+:\\s*"));
    return QString(text).remove(location);
}

QTextStream &toolOut()
{
    static QTextStream stream(stdout);
    return outputOnStderr ? toolErr() : stream;
}

void moveToolOutputToStderr()
{
    toolOut().flush();
    outputOnStderr = true;
}

QTextStream &toolErr()
{
    static QTextStream stream(stderr);
    return stream;
}

QString chosenLanguage()
{
    const QSettings settings(QStringLiteral("settings.ini"), QSettings::IniFormat);
    const QString language = settings.value(QStringLiteral("settings/language")).toString().trimmed();
    return language.isEmpty() ? QStringLiteral("en") : language;
}
