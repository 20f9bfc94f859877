// qvprofile: creates a working directory and reads and writes its settings
// through Profile, typed as the named settings are.

#include "namedsettings.h"
#include "workdir.h"

#include <profile.h>
#include <qvglobal.h>

#include <QCoreApplication>
#include <QDir>
#include <QSqlQuery>
#include <QStringList>
#include <QTextStream>

#include <algorithm>

namespace {

enum ExitCode {
    Ok = 0,
    UsageError = 1,
    StartupError = 2,
    NotSet = 3,
    BadValue = 4,
    WriteFailed = 5
};

QTextStream &out()
{
    static QTextStream s(stdout);
    return s;
}

QTextStream &err()
{
    static QTextStream s(stderr);
    return s;
}

int usage()
{
    err() << "usage: qvprofile [-C DIR] COMMAND\n"
             "  init DIR          create a working directory: settings.ini and the profile,\n"
             "                    data, quality-control and system-log databases\n"
             "  keys              the named settings and their types\n"
             "  list              every stored setting: key, type, value\n"
             "  get KEY           the stored value of KEY (exit 3 when it has none)\n"
             "  set KEY VALUE     store VALUE (a named setting takes its type: text, colour\n"
             "                    #rrggbb or name, int, bool true/false)\n"
             "  remove KEY        delete the setting\n"
             "  -C DIR            work in DIR instead of the current directory\n";
    err().flush();
    return UsageError;
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
    if (const NamedSetting *s = findNamedSetting(key))
        return readNamedSetting(Profile::instance(), *s);
    return Profile::instance().value(key).toString();
}

int listSettings()
{
    QStringList keys = Profile::instance().keys();
    std::sort(keys.begin(), keys.end());
    for (const QString &key : keys) {
        if (!Profile::instance().value(key).isValid())
            continue;
        const NamedSetting *s = findNamedSetting(key);
        out() << key << '\t' << (s ? typeName(s->type) : QStringLiteral("-")) << '\t' << displayValue(key) << '\n';
    }
    return Ok;
}

int getSetting(const QString &key)
{
    if (!Profile::instance().value(key).isValid()) {
        err() << "qvprofile: " << key << " is not set\n";
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
    const NamedSetting *s = findNamedSetting(key);
    if (s) {
        QVariant value;
        QString error;
        if (!parseSettingValue(*s, text, &value, &error)) {
            err() << "qvprofile: " << key << ": " << error << "\n";
            return BadValue;
        }
        writeNamedSetting(Profile::instance(), *s, value);
    } else {
        Profile::instance().setValue(key, text, true);
    }
    // Written on this thread, so the store's status already tells.
    if (Profile::instance().status() != Profile::NoError) {
        err() << "qvprofile: the profile database did not take the write: " << Profile::instance().errorString()
              << "\n";
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
        err() << "qvprofile: the profile database did not take the removal: " << Profile::instance().errorString()
              << "\n";
        return WriteFailed;
    }
    if (!was) {
        err() << "qvprofile: " << key << " was not set\n";
        return NotSet;
    }
    return Ok;
}

int run(QStringList args)
{
    QString dir;
    if (args.size() >= 2 && (args.first() == "-C" || args.first() == "--dir")) {
        dir = args.at(1);
        args = args.mid(2);
    }
    if (args.isEmpty() || args.first() == "-h" || args.first() == "--help" || args.first() == "help")
        return usage();

    const QString command = args.takeFirst();
    if (command == "init") {
        if (args.size() != 1)
            return usage();
        const QString target = dir.isEmpty() ? args.first() : QDir(dir).filePath(args.first());
        QString error;
        if (!createWorkDirectory(target, &error)) {
            err() << "qvprofile: " << error << "\n";
            return StartupError;
        }
        out() << "created " << QDir(target).absolutePath()
              << ": settings.ini, profile.db, data.db, qc.db, syslog.db\n";
        return Ok;
    }
    if (command == "keys") {
        for (const NamedSetting &s : namedSettings())
            out() << s.key << '\t' << typeName(s.type) << '\n';
        return Ok;
    }

    const QHash<QString, int> arity = {{"list", 0}, {"get", 1}, {"set", 2}, {"remove", 1}};
    if (!arity.contains(command) || args.size() != arity.value(command))
        return usage();
    if (!dir.isEmpty() && !QDir::setCurrent(dir)) {
        err() << "qvprofile: cannot enter " << dir << "\n";
        return StartupError;
    }
    if (const int rc = openProfile())
        return rc;
    if (command == "list")
        return listSettings();
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
    setDefaultCodec();
    const int rc = run(app.arguments().mid(1));
    out().flush();
    err().flush();
    return rc;
}
