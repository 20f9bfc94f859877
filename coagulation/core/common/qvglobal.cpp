#include "qvglobal.h"

#include <QtCore/QCoreApplication>
#include <QtCore/QDate>
#include <QtCore/QDebug>
#include <QtCore/QFile>
#include <QtCore/QFileInfo>
#include <QtCore/QLibraryInfo>
#include <QtCore/QMutex>
#include <QtCore/QRegularExpression>
#include <QtCore/QStringList>
#include <QtCore/QTextStream>
#include <QtCore/QThread>
#include <QtCore/QTranslator>
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
#include <QtQml/QJSEngine>
#include <QtQml/QJSValue>
#else
#include <QtCore/QTextCodec>
#include <QtScript/QScriptEngine>
#include <QtScript/QScriptValue>
#endif
#include <QtSql/QSqlDriver>
#include <QtSql/QSqlError>
#include <QtSql/QSqlField>
#include <QtSql/QSqlQuery>
#include <QtSql/QSqlRecord>
#include <QtWidgets/QApplication>
#include <QtWidgets/QWidget>

#include <limits>

#ifdef Q_OS_UNIX
#include <dlfcn.h>
#endif

#include "profile.h"
#include "qvlogging_p.h"
#include "startupsettings_p.h"

// ---------------------------------------------------------------------------
// Application support: codec, translations, message boxes, cursors, flags
// ---------------------------------------------------------------------------

namespace {

QApplication *widgetApplication()
{
    return qobject_cast<QApplication *>(QCoreApplication::instance());
}

bool onGuiThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}

struct HandlerSlot
{
    QMutex mutex;
    MessageBoxHandler handler;
};

HandlerSlot &handlerSlot()
{
    static HandlerSlot slot;
    return slot;
}

// The folder of the file this library was loaded from; empty where that cannot be told.
QString libraryDirectory()
{
#ifdef Q_OS_UNIX
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&libraryDirectory), &info) && info.dli_fname)
        return QFileInfo(QFile::decodeName(info.dli_fname)).absolutePath();
#endif
    return QString();
}

} // namespace

void setDefaultCodec()
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    if (QTextCodec *utf8 = QTextCodec::codecForName("UTF-8"))
        QTextCodec::setCodecForLocale(utf8);
#endif
}

void installTranslators()
{
    installTranslators(QStringLiteral("zh_CN"));
}

void installTranslators(const QString &defaultLanguage)
{
    setDefaultCodec();

    QCoreApplication *app = QCoreApplication::instance();
    if (!app) {
        qCWarning(qvCommon, "installTranslators: no application object, no translation installed");
        return;
    }

    QStringList directories;
    directories << QStringLiteral(".") << QStringLiteral("..") << QStringLiteral("../translations")
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
                << QLibraryInfo::path(QLibraryInfo::TranslationsPath);
#else
                << QLibraryInfo::location(QLibraryInfo::TranslationsPath);
#endif
    // After those: places that do not depend on the current directory, so a
    // program started from anywhere finds the library's own translations: a
    // translations folder beside the program's folder, where the library's
    // are installed, and where a build tree makes them.
    directories << QCoreApplication::applicationDirPath() + QStringLiteral("/../translations");
#ifdef QV_TRANSLATIONS_FROM_LIBRARY
    const QString library = libraryDirectory();
    if (!library.isEmpty())
        directories << library + QLatin1Char('/') + QStringLiteral(QV_TRANSLATIONS_FROM_LIBRARY);
#endif
#ifdef QV_TRANSLATIONS_INSTALL_DIR
    directories << QStringLiteral(QV_TRANSLATIONS_INSTALL_DIR);
#endif
#ifdef QV_TRANSLATIONS_BUILD_DIR
    directories << QStringLiteral(QV_TRANSLATIONS_BUILD_DIR);
#endif

    const StartupSettings settings;
    const QString company = settings.value(QStringLiteral("settings/company")).toString();
    const QString language = settings.value(QStringLiteral("settings/language"), defaultLanguage).toString();

    QStringList defaultNames;
    defaultNames << QStringLiteral("qt") << QStringLiteral("qv");
    if (!company.isEmpty())
        defaultNames << company;
    const QStringList names = settings.value(QStringLiteral("settings/translations"), defaultNames).toStringList();

    for (const QString &name : names) {
        const QString stem = name + QLatin1Char('_') + language;
        QTranslator *translator = new QTranslator(app);
        bool loaded = false;
        for (const QString &directory : qAsConst(directories)) {
            if (translator->load(stem, directory, QString(), QString())) {
                loaded = true;
                break;
            }
        }
        if (loaded) {
            qDebug().noquote() << stem << "loaded";
            QCoreApplication::installTranslator(translator);
        } else {
            qDebug().noquote() << stem << "not found";
            delete translator;
        }
    }
}

MessageBoxHandler setMessageBoxHandler(MessageBoxHandler handler)
{
    HandlerSlot &slot = handlerSlot();
    QMutexLocker locker(&slot.mutex);
    MessageBoxHandler previous = std::move(slot.handler);
    slot.handler = std::move(handler);
    return previous;
}

MessageBoxHandler messageBoxHandler()
{
    HandlerSlot &slot = handlerSlot();
    QMutexLocker locker(&slot.mutex);
    return slot.handler;
}

QMessageBox::StandardButton showMessageBox(QMessageBox::Icon icon, const QString &text,
                                           QMessageBox::StandardButtons buttons,
                                           QMessageBox::StandardButton defaultButton)
{
    // A busy cursor set elsewhere must not hide the pointer while the box is open.
    const WaitCursor arrow(Qt::ArrowCursor);
    const QString title = QCoreApplication::applicationName();

    const MessageBoxHandler handler = messageBoxHandler();
    if (handler)
        return handler(icon, title, text, buttons, defaultButton);

    if (!widgetApplication() || !onGuiThread()) {
        qCWarning(qvCommon).noquote() << "(showMessageBox) No box can be shown here:" << text;
        return QMessageBox::NoButton;
    }

    QMessageBox box(icon, title, text, buttons, topLevelWidget(),
                    Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint);
    if (defaultButton != QMessageBox::NoButton)
        box.setDefaultButton(defaultButton);
    return QMessageBox::StandardButton(box.exec());
}

QMessageBox::StandardButton information(const QString &text, QMessageBox::StandardButtons buttons,
                                        QMessageBox::StandardButton defaultButton)
{
    return showMessageBox(QMessageBox::Information, text, buttons, defaultButton);
}

QMessageBox::StandardButton question(const QString &text, QMessageBox::StandardButtons buttons,
                                     QMessageBox::StandardButton defaultButton)
{
    return showMessageBox(QMessageBox::Question, text, buttons, defaultButton);
}

QMessageBox::StandardButton warning(const QString &text, QMessageBox::StandardButtons buttons,
                                    QMessageBox::StandardButton defaultButton)
{
    return showMessageBox(QMessageBox::Warning, text, buttons, defaultButton);
}

QMessageBox::StandardButton critical(const QString &text, QMessageBox::StandardButtons buttons,
                                     QMessageBox::StandardButton defaultButton)
{
    return showMessageBox(QMessageBox::Critical, text, buttons, defaultButton);
}

QWidget *topLevelWidget()
{
    if (!widgetApplication() || !onGuiThread())
        return nullptr;
    QWidget *widget = QApplication::activeModalWidget();
    if (!widget)
        widget = QApplication::activeWindow();
    if (!widget)
        return nullptr;
    QWidget *window = widget->window();
    return window ? window : widget;
}

WaitCursor::WaitCursor(Qt::CursorShape shape)
    : m_active(onGuiThread() && qobject_cast<QGuiApplication *>(QCoreApplication::instance()))
{
    if (m_active)
        QGuiApplication::setOverrideCursor(QCursor(shape));
}

WaitCursor::~WaitCursor()
{
    if (m_active)
        QGuiApplication::restoreOverrideCursor();
}

void sleep(int milliseconds)
{
    if (milliseconds > 0)
        QThread::msleep(static_cast<unsigned long>(milliseconds));
}

// ---------------------------------------------------------------------------
// Volume, dilution and number text
// ---------------------------------------------------------------------------

QString humanReadableVolume(int volume)
{
    const double x = volume;
    if (x > 1000000)
        return QStringLiteral("%1 L").arg(x * 0.000001, 0, 'g', 4, QLatin1Char(' '));
    if (x > 1000)
        return QStringLiteral("%1 mL").arg(x * 0.001, 0, 'g', 4, QLatin1Char(' '));
    return QStringLiteral("%1 uL").arg(volume);
}

namespace {

// \d and \s with their Unicode meaning, as in Qt's classic regular expressions.
const QRegularExpression::PatternOptions TextPatternOptions = QRegularExpression::UseUnicodePropertiesOption;

} // namespace

double fraction(const QString &text, bool *ok)
{
    // Compiled once for the process. Matching a const QRegularExpression keeps
    // no state in it, so concurrent calls are safe.
    static const QRegularExpression ratio(
        QStringLiteral("([+-]?\\d+(?:\\.\\d*)?)\\s*[:/]\\s*([+-]?\\d+(?:\\.\\d*)?)"), TextPatternOptions);

    const QRegularExpressionMatch match = ratio.match(text);
    if (ok)
        *ok = match.hasMatch();
    if (!match.hasMatch())
        return 0.0;
    return match.captured(1).toDouble() / match.captured(2).toDouble();
}

QString normalizedDilution(const QString &text)
{
    static const QRegularExpression dilution(
        QStringLiteral("^\\s*(\\d+)\\s*[/:]\\s*(\\d+)\\s*$"), TextPatternOptions);

    const QRegularExpressionMatch match = dilution.match(text);
    if (!match.hasMatch())
        return QString();
    const QString numerator = match.captured(1);
    const QString denominator = match.captured(2);
    if (numerator.toInt() == 0 || denominator.toInt() == 0)
        return QString();
    return QStringLiteral("%1/%2").arg(numerator, denominator);
}

QStringList dilutionList()
{
    return QStringList{QStringLiteral("1/1"),   QStringLiteral("1/2"),   QStringLiteral("1/4"),
                       QStringLiteral("1/5"),   QStringLiteral("1/8"),   QStringLiteral("1/10"),
                       QStringLiteral("1/16"),  QStringLiteral("1/20"),  QStringLiteral("1/30"),
                       QStringLiteral("1/40"),  QStringLiteral("1/50"),  QStringLiteral("1/80"),
                       QStringLiteral("1/100"), QStringLiteral("1/160"), QStringLiteral("1/320"),
                       QStringLiteral("2/5"),   QStringLiteral("3/4"),   QStringLiteral("3/5"),
                       QStringLiteral("4/5")};
}

// ---------------------------------------------------------------------------
// Sample numbering and prefixes
// ---------------------------------------------------------------------------

namespace {

// The next number of the day on db, as nextSampleNo() gives it.
int nextSampleNoOn(QSqlDatabase db, const QDate &date, bool *ok)
{
    if (ok)
        *ok = false;
    QSqlQuery query(db);
    if (!query.prepare(QStringLiteral("select max(cast(sampleNo as integer)) from patient where date=:date")))
        QV_SQL_WARNING(qvCommon, query.lastError());
    query.bindValue(QStringLiteral(":date"), date);
    if (!query.exec()) {
        QV_SQL_WARNING(qvCommon, query.lastError());
        return 0;
    }
    // An aggregate gives one row; its maximum is null on a day without rows.
    if (!query.first()) {
        QV_SQL_WARNING(qvCommon, query.lastError());
        return 0;
    }
    // A number that is not numeric, or below zero, counts as 0.
    const qlonglong greatest = qMax(query.value(0).toLongLong(), Q_INT64_C(0));
    if (greatest >= std::numeric_limits<int>::max()) {
        qCWarning(qvCommon, "%s:%d: sample number %lld of %s leaves no next number within int",
                  __FILE__, __LINE__, greatest, qPrintable(date.toString(Qt::ISODate)));
        return 0;
    }
    if (ok)
        *ok = true;
    return int(greatest) + 1;
}

} // namespace

int nextSampleNo(const QDate &date, bool *ok)
{
    return nextSampleNoOn(Profile::instance().dataDatabase(), date, ok);
}

int takeSampleNo(const QDate &date, const QSqlRecord &patient, qint64 *rowId)
{
    if (rowId)
        *rowId = -1;
    QSqlDatabase db = Profile::instance().dataDatabase();
    QSqlQuery query(db);
    // Immediate: the write lock is taken before the greatest number is read,
    // so a second station waits here instead of reading the same greatest.
    if (!query.exec(QStringLiteral("begin immediate"))) {
        QV_SQL_WARNING(qvCommon, query.lastError());
        return 0;
    }
    bool ok = false;
    const int number = nextSampleNoOn(db, date, &ok);
    if (ok) {
        QSqlRecord row = patient;
        for (const char *name : {"sampleNo", "date"}) {
            if (row.indexOf(QLatin1String(name)) < 0)
                row.append(QSqlField(QLatin1String(name)));
        }
        setGeneratedValue(row, QStringLiteral("sampleNo"), QString::number(number));
        setGeneratedValue(row, QStringLiteral("date"), date);
        QStringList columns, marks;
        for (int i = 0; i < row.count(); ++i) {
            if (!row.isGenerated(i))
                continue;
            columns << db.driver()->escapeIdentifier(row.fieldName(i), QSqlDriver::FieldName);
            marks << QStringLiteral("?");
        }
        ok = query.prepare(QStringLiteral("insert into patient (%1) values (%2)")
                               .arg(columns.join(QLatin1Char(',')), marks.join(QLatin1Char(','))));
        for (int i = 0; ok && i < row.count(); ++i) {
            if (row.isGenerated(i))
                query.addBindValue(row.value(i));
        }
        ok = ok && query.exec();
        if (!ok)
            QV_SQL_WARNING(qvCommon, query.lastError());
    }
    const qint64 inserted = ok ? query.lastInsertId().toLongLong() : -1;
    if (ok && !query.exec(QStringLiteral("commit"))) {
        QV_SQL_WARNING(qvCommon, query.lastError());
        ok = false;
    }
    if (!ok) {
        // Nothing of this call stays. Where SQLite has ended the transaction
        // already, the rollback fails and changes nothing.
        QSqlQuery(db).exec(QStringLiteral("rollback"));
        return 0;
    }
    if (rowId)
        *rowId = inserted;
    return number;
}

QString samplePrefix(qv::SampleType type)
{
    switch (type) {
    case qv::Statim:
        return Profile::instance().statim_sample_prefix();
    case qv::QualityControl:
        return Profile::instance().qc_sample_prefix();
    default:
        return QString();
    }
}

void setGeneratedValue(QSqlRecord &record, const QString &field, const QVariant &value)
{
    const int index = record.indexOf(field);
    if (index < 0)
        return;
    record.setValue(index, value);
    record.setGenerated(index, true);
}

// ---------------------------------------------------------------------------
// Script evaluation
// ---------------------------------------------------------------------------

namespace {

// What evaluating a program gave: its value as a variant, and whether it failed (a
// syntax error, an uncaught exception), with the thrown value as text.
struct ScriptOutcome
{
    QVariant value;
    bool failed = false;
    QString error;
};

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)

// QJSValue::toVariant() gives null as a variant holding nullptr; scripts have always
// given an invalid variant for it, also inside arrays and objects.
QVariant scriptVariant(const QVariant &value)
{
    switch (value.metaType().id()) {
    case QMetaType::Nullptr:
        return QVariant();
    case QMetaType::QVariantList: {
        QVariantList list = value.toList();
        for (QVariant &item : list)
            item = scriptVariant(item);
        return list;
    }
    case QMetaType::QVariantMap: {
        QVariantMap map = value.toMap();
        for (QVariant &item : map)
            item = scriptVariant(item);
        return map;
    }
    default:
        return value;
    }
}

// An error object converts to an empty map, its properties being hidden; give the
// ones that scripts have always shown.
QVariant errorVariant(const QJSValue &error)
{
    QVariantMap map;
    for (const QString &name : {QStringLiteral("message"), QStringLiteral("fileName"), QStringLiteral("lineNumber")}) {
        const QJSValue property = error.property(name);
        if (!property.isUndefined())
            map.insert(name, property.toVariant());
    }
    return map;
}

ScriptOutcome evaluateScript(const QString &program, const QString &fileName)
{
    QJSEngine engine;
    // A stack trace is given for every thrown value, an Error object or not.
    QStringList stackTrace;
    const QJSValue result = engine.evaluate(program, fileName, 1, &stackTrace);
    ScriptOutcome outcome;
    outcome.failed = result.isError() || !stackTrace.isEmpty();
    if (outcome.failed)
        outcome.error = result.toString();
    outcome.value = result.isError() ? errorVariant(result) : scriptVariant(result.toVariant());
    return outcome;
}

#else

ScriptOutcome evaluateScript(const QString &program, const QString &fileName)
{
    QScriptEngine engine;
    const QScriptValue result = engine.evaluate(program, fileName, 1);
    ScriptOutcome outcome;
    // A thrown value that is not an Error object is a failure all the same.
    outcome.failed = result.isError() || engine.hasUncaughtException();
    if (outcome.failed)
        outcome.error = result.toString();
    outcome.value = result.toVariant();
    return outcome;
}

#endif

} // namespace

QVariant eval(const QString &program)
{
    return evaluateScript(program, QString()).value;
}

QVariant load_script(const QString &fileName)
{
    QString program;
    QFile file(fileName);
    if (file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        QTextStream stream(&file);
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        stream.setEncoding(QStringConverter::Utf8);
#else
        stream.setCodec("UTF-8");
#endif
        program = stream.readAll();
    }

    const ScriptOutcome outcome = evaluateScript(program, fileName);
    if (outcome.failed) {
        critical(outcome.error, QMessageBox::Ok, QMessageBox::Ok);
        return QVariant();
    }
    return outcome.value;
}
