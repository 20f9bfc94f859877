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

#include <QSqlError>

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
        {"get", "KEY", "the stored value of KEY; for a named setting never stored,\n"
                       "the default in effect (and a line on stderr saying so)"},
        {"set", "KEY VALUE", "store VALUE (a named setting takes its type: text, colour\n"
                             "#rrggbb or name, int, bool " BOOLEAN_WORDS ")"},
        {"remove", "KEY", "delete the setting"},
    });
    line.setOptionScopes({
        {{"json"}, {"list", "keys"}},
        {{"force"}, {"set"}},
    });
    line.setExitCodes({{StartupError, "not a working directory, or one whose files cannot be read or created"},
                       {NotSet, "remove: the setting was not stored"},
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
// stderr, and any of them means that what is read or written would not be the
// working directory's settings.
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
        if (Profile::instance().database().isValid() || QFileInfo::exists(QStringLiteral("settings.ini")))
            err() << "qvprofile: nothing was read or written in " << QDir::currentPath() << "\n";
        else
            err() << "qvprofile: " << QDir::currentPath()
                  << " is not a working directory (make one with: qvprofile init DIR)\n";
        err().flush();
        return StartupError;
    }
    return Ok;
}

// Saves that wait for a busy profile get one more try: the store has waited
// its busy time-out once already. Then status() tells how the write went.
int writeResult(const QString &key, const char *what)
{
    Profile &profile = Profile::instance();
    if (profile.status() == Profile::SavesPending)
        profile.flush(0);
    if (profile.status() == Profile::NoError)
        return Ok;
    err() << "qvprofile: " << key << " could not be " << what << " " << profileFile() << ": "
          << profile.errorString() << "\n";
    return WriteFailed;
}

// A list line stays one line: tabs and newlines in a key or value are escaped.
QString escaped(QString text)
{
    return text.replace(QLatin1Char('\\'), QLatin1String("\\\\"))
        .replace(QLatin1Char('\t'), QLatin1String("\\t"))
        .replace(QLatin1Char('\n'), QLatin1String("\\n"))
        .replace(QLatin1Char('\r'), QLatin1String("\\r"));
}

// The row's value as the file holds it; false with the database's reason when
// it cannot be read.
bool storedText(const QString &key, QString *text, QString *reason)
{
    QSqlQuery query(Profile::instance().database());
    const bool ok = query.prepare(QStringLiteral("select value from profile where name = ?"));
    query.addBindValue(key);
    if (!ok || !query.exec()) {
        *reason = query.lastError().text();
        return false;
    }
    *text = query.next() ? query.value(0).toString() : QString();
    return true;
}

// Start-up read the whole table, so a key with a row is one with a value in
// the store (a row holding NULL too).
bool isStored(const QString &key)
{
    return Profile::instance().value(key).isValid();
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
    if (!isStored(key)) {
        // What a program reading the setting gets: its declared default.
        if (!Profile::findItem(key).isValid()) {
            err() << "qvprofile: " << key << " is not set in " << profileFile() << "\n";
            return NotSet;
        }
        err() << "qvprofile: " << key << " is not set in " << profileFile() << "; this is its default\n";
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
    if (const int rc = writeResult(key, "written to"))
        return rc;
    QString stored, reason;
    if (!storedText(key, &stored, &reason)) {
        err() << "qvprofile: " << key << " was written to " << profileFile() << " but cannot be read back: "
              << reason << "\n";
        return StartupError;
    }
    out() << key << " = " << stored << '\n';
    return Ok;
}

int removeSetting(const QString &key)
{
    const bool was = isStored(key);
    Profile::instance().remove(key);
    if (const int rc = writeResult(key, "removed from"))
        return rc;
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
