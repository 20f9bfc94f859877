// qvprofile: creates a working directory and reads and writes its settings
// through Profile, typed as the named settings are.

#include "settingtext.h"
#include "workdir.h"

#include <commandline.h>
#include <profile.h>
#include <qvglobal.h>
#include <toolmessages.h>

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSqlQuery>
#include <QStringList>
#include <QTextStream>

#include <algorithm>

namespace {

enum ExitCode {
    Ok = CommandLine::OkExit,
    StartupError = 2,
    NotSet = 3,
    BadValue = 4,
    WriteFailed = 5,
    UnknownName = 6
};

QTextStream &out() { return toolOut(); }
QTextStream &err() { return toolErr(); }

CommandLine profileCommandLine()
{
    CommandLine line(QStringLiteral("qvprofile"), QStringLiteral("[options] COMMAND [ARGS]"));
    line.setDescription(QStringLiteral("Creates a working directory and reads and writes its settings through the\n"
                                       "profile store, typed as the named settings are."));
    line.addOptions({
        {"dir", "DIR", "work in DIR instead of the current directory", QLatin1Char('C')},
        {"force", "", "set: store a name that is not one of the named settings"},
        {"json", "", "list, keys: one JSON object on stdout"},
    });
    line.setCommands({
        {"init", "DIR", "create a working directory: settings.ini and the profile,\n"
                        "data, quality-control and system-log databases"},
        {"keys", "", "the named settings and their types (--json: also their\n"
                     "defaults, groups and labels)"},
        {"list", "", "every stored setting: key, type, value (tabs, newlines\n"
                     "and backslashes in them written as \\t, \\n and \\\\)"},
        {"get", "KEY", "the stored value of KEY"},
        {"set", "KEY VALUE", "store VALUE (a named setting takes its type: text, colour\n"
                             "#rrggbb or name, int, bool true/false)"},
        {"remove", "KEY", "delete the setting"},
    });
    line.setOptionScopes({
        {{"json"}, {"list", "keys"}},
        {{"force"}, {"set"}},
    });
    line.setExitCodes({{StartupError, "not a working directory, or one that cannot be created"},
                       {NotSet, "the setting is not stored"},
                       {BadValue, "the value does not fit the setting's type"},
                       {WriteFailed, "the profile database could not be written"},
                       {UnknownName, "not a named setting (the closest is named; set --force stores it anyway)"}});
    return line;
}

int usage(const QString &message)
{
    return profileCommandLine().usageError(message);
}

QString profileFile()
{
    const QSqlDatabase db = Profile::instance().database();
    return db.isValid() ? QFileInfo(db.databaseName()).absoluteFilePath() : QStringLiteral("the profile database");
}

// Start-up problems of the store come as message boxes; here they become lines on
// stderr, and any of them means that writes would not reach the file.
int openProfile()
{
    int problems = 0;
    setMessageBoxHandler([&problems](QMessageBox::Icon, const QString &, const QString &text,
                                     QMessageBox::StandardButtons, QMessageBox::StandardButton) {
        err() << "qvprofile: " << text << "\n";
        ++problems;
        return QMessageBox::Ok;
    });
    Profile::instance();
    setMessageBoxHandler(MessageBoxHandler());
    if (problems) {
        err() << "qvprofile: " << QDir::currentPath()
              << " is not a working directory (make one with: qvprofile init DIR)\n";
        err().flush();
        return StartupError;
    }
    return Ok;
}

// A list line stays one line: tabs and newlines in a key or value are escaped.
QString escaped(QString text)
{
    return text.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('\t'), QLatin1String("\\t"))
        .replace(QLatin1Char('\n'), QLatin1String("\\n"))
        .replace(QLatin1Char('\r'), QLatin1String("\\r"));
}

QString storedText(const QString &key)
{
    QSqlQuery query(Profile::instance().database());
    query.prepare(QStringLiteral("select value from profile where name = ?"));
    query.addBindValue(key);
    if (!query.exec() || !query.next())
        return QString();
    return query.value(0).toString();
}

bool isStored(const QString &key)
{
    QSqlQuery query(Profile::instance().database());
    query.prepare(QStringLiteral("select count(*) from profile where name = ?"));
    query.addBindValue(key);
    return query.exec() && query.next() && query.value(0).toInt() > 0;
}

QString displayValue(const QString &key)
{
    const ProfileItem item = Profile::findItem(key);
    return item.isValid() ? settingText(item.value(Profile::instance())) : Profile::instance().value(key).toString();
}

int listSettings(bool json)
{
    QStringList keys = Profile::instance().keys();
    std::sort(keys.begin(), keys.end());
    QJsonArray settings;
    for (const QString &key : keys) {
        if (!Profile::instance().value(key).isValid())
            continue;
        const ProfileItem item = Profile::findItem(key);
        const QString type = item.isValid() ? typeName(item.type()) : QStringLiteral("-");
        if (json)
            settings.append(QJsonObject{{"key", key}, {"type", type}, {"value", displayValue(key)}});
        else
            out() << escaped(key) << '\t' << type << '\t' << escaped(displayValue(key)) << '\n';
    }
    if (json)
        out() << QJsonDocument(QJsonObject{{"command", "list"}, {"file", profileFile()}, {"settings", settings}})
                     .toJson(QJsonDocument::Compact)
              << '\n';
    return Ok;
}

int listKeys(bool json)
{
    QJsonArray settings;
    for (const ProfileItem &item : Profile::items()) {
        if (json)
            settings.append(QJsonObject{{"key", item.key()}, {"type", typeName(item.type())},
                                        {"default", settingText(item.defaultValue())},
                                        {"group", item.group()}, {"label", item.label()}});
        else
            out() << item.key() << '\t' << typeName(item.type()) << '\n';
    }
    if (json)
        out() << QJsonDocument(QJsonObject{{"command", "keys"}, {"settings", settings}}).toJson(QJsonDocument::Compact)
              << '\n';
    return Ok;
}

// A name that is no named setting is most likely mistyped: say which one was
// meant. set stores it only with --force; get and remove take a name that is
// stored already.
int checkName(const QString &command, const QString &key, bool force)
{
    if (Profile::findItem(key).isValid() || force || (command != QLatin1String("set") && isStored(key)))
        return Ok;
    QStringList names;
    for (const ProfileItem &item : Profile::items())
        names << item.key();
    err() << "qvprofile: \"" << key << "\" is not a named setting; the closest is " << closestName(key, names)
          << (command == QLatin1String("set") ? " (--force stores it anyway)" : "") << "\n";
    return UnknownName;
}

int getSetting(const QString &key)
{
    if (!Profile::instance().value(key).isValid()) {
        err() << "qvprofile: " << key << " is not set in " << profileFile() << "\n";
        return NotSet;
    }
    out() << displayValue(key) << '\n';
    return Ok;
}

int setSetting(const QString &key, const QString &text)
{
    if (key.isEmpty()) {
        err() << "qvprofile: the key is empty\n";
        return BadValue;
    }
    const ProfileItem item = Profile::findItem(key);
    if (item.isValid()) {
        QVariant value;
        QString error;
        if (!parseSettingValue(item, text, &value, &error)) {
            err() << "qvprofile: " << key << ": " << error << "\n";
            return BadValue;
        }
        item.setValue(Profile::instance(), value, true);
    } else {
        Profile::instance().setValue(key, text, true);
    }
    // Written on this thread, so the store's status already tells.
    if (Profile::instance().status() != Profile::NoError) {
        err() << "qvprofile: " << key << " could not be written to " << profileFile() << ": "
              << Profile::instance().errorString() << "\n";
        return WriteFailed;
    }
    out() << key << " = " << storedText(key) << '\n';
    return Ok;
}

int removeSetting(const QString &key)
{
    const bool was = isStored(key);
    Profile::instance().remove(key);
    if (Profile::instance().status() != Profile::NoError) {
        err() << "qvprofile: " << key << " could not be removed from " << profileFile() << ": "
              << Profile::instance().errorString() << "\n";
        return WriteFailed;
    }
    if (!was) {
        err() << "qvprofile: " << key << " was not set in " << profileFile() << "\n";
        return NotSet;
    }
    return Ok;
}

int run(const QStringList &arguments)
{
    CommandLine line = profileCommandLine();
    const int finished = line.finish(line.parse(arguments));
    if (finished >= 0)
        return finished;
    QStringList args;
    const QString dir = line.value("dir");
    QString command, error;
    if (!line.takeCommand(&command, &args, &error))
        return usage(error);
    const bool json = line.isSet("json");
    if (command == "init") {
        const QString target = dir.isEmpty() ? args.first() : QDir(dir).filePath(args.first());
        if (!createWorkDirectory(target, &error)) {
            err() << "qvprofile: " << error << "\n";
            return StartupError;
        }
        out() << "created " << QDir(target).absolutePath()
              << ": settings.ini, profile.db, data.db, qc.db, syslog.db\n";
        return Ok;
    }
    if (command == "keys") {
        // The defaults and labels in the language settings.ini chooses.
        installTranslators(QStringLiteral("en"));
        return listKeys(json);
    }
    if (!dir.isEmpty() && !QDir::setCurrent(dir)) {
        err() << "qvprofile: cannot enter " << dir << "\n";
        return StartupError;
    }
    // settings.ini of the working directory chooses the language of the store's texts.
    installTranslators(QStringLiteral("en"));
    if (const int rc = openProfile())
        return rc;
    if (command == "list")
        return listSettings(json);
    if (const int rc = checkName(command, args.at(0), line.isSet("force")))
        return rc;
    if (command == "get")
        return getSetting(args.at(0));
    if (command == "set")
        return setSetting(args.at(0), args.at(1));
    return removeSetting(args.at(0));
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("qvprofile"));
    installToolMessageHandler();
    setDefaultCodec();
    const int rc = run(app.arguments().mid(1));
    out().flush();
    err().flush();
    return rc;
}
