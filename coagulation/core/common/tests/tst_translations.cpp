#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QPointer>
#include <QtCore/QProcess>
#include <QtCore/QTemporaryDir>
#include <QtCore/QTranslator>
#include <QtCore/QXmlStreamReader>
#include <QtSql/QSqlDatabase>
#include <QtTest/QtTest>

#include <analysisresult.h>
#include <messageboxrecorder.h>
#include <oeminfo.h>
#include <profile.h>
#include <propertyitemmodel.h>
#include <qvglobal.h>
#include <sqlitefile.h>

namespace {

const QStringList connectionNames = {QStringLiteral("profile.db"), QStringLiteral("data.db"),
                                     QStringLiteral("qc.db"), QStringLiteral("syslog.db")};

// lupdate and lrelease of the Qt this build uses.
QString qtTool(const QString &name)
{
    return name == QLatin1String("lupdate") ? QStringLiteral(QV_LUPDATE) : QStringLiteral(QV_LRELEASE);
}

bool writeFile(const QString &path, const QByteArray &content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

bool runTool(const QString &tool, const QStringList &arguments, const QString &workdir = QString())
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    if (!workdir.isEmpty())
        process.setWorkingDirectory(workdir);
    process.start(qtTool(tool), arguments);
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit
        && process.exitCode() == 0;
}

// context, source and translation of every message of a .ts file.
struct Message {
    QString context;
    QString source;
    QString translation;
    bool finished;
};

QList<Message> readTs(const QString &path)
{
    QList<Message> result;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return result;
    QXmlStreamReader xml(&file);
    QString context;
    Message message;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("name")) {
            context = xml.readElementText();
        } else if (xml.name() == QLatin1String("message")) {
            message = Message{context, QString(), QString(), true};
        } else if (xml.name() == QLatin1String("source")) {
            message.source = xml.readElementText();
        } else if (xml.name() == QLatin1String("translation")) {
            message.finished = xml.attributes().value(QLatin1String("type")).isEmpty();
            message.translation = xml.readElementText();
            result << message;
        }
    }
    return result;
}

QStringList keysOf(const QList<Message> &messages)
{
    QStringList keys;
    for (const Message &m : messages)
        keys << m.context + QLatin1String(" | ") + m.source;
    keys.sort();
    return keys;
}

} // namespace

class tst_Translations : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void cleanupTestCase();

    void filesCoverEverySourceText();
    void englishFileTranslatesEverything();
    void startUpMessagesInEnglish_data();
    void startUpMessagesInEnglish();
    void resultMessagesInEnglish_data();
    void resultMessagesInEnglish();
    void modelHeaderInEnglish();
    void settingTextsInEnglish();
    void identityInEnglish();
    void oemIdEntryChangesIdentifierAlone();

private:
    QString sourcePath(const QString &name) const;

    QString m_startDir;
    QTemporaryDir m_tmp;
};

QString tst_Translations::sourcePath(const QString &name) const
{
    return QStringLiteral(QV_SOURCE_DIR "/") + name;
}

void tst_Translations::initTestCase()
{
    QCoreApplication::setApplicationName(QStringLiteral("TranslationsTest"));
    m_startDir = QDir::currentPath();
    QVERIFY(m_tmp.isValid());
    QVERIFY2(QFile::exists(QStringLiteral(QV_BINARY_DIR "/translations/qv_en.qm")),
             "build the target qvtranslations first");

    // A program started anywhere but in the build tree's folders, set to English.
    const QDir app(QDir(m_tmp.path()).filePath(QStringLiteral("app")));
    QVERIFY(writeFile(app.filePath(QStringLiteral("settings.ini")), "[settings]\nlanguage=en\n"));
    QVERIFY(QDir::setCurrent(app.path()));
    installTranslators();
    const auto translators = qApp->findChildren<QTranslator *>(QString(), Qt::FindDirectChildrenOnly);
    QStringList files;
    for (const QTranslator *translator : translators)
        files << QFileInfo(translator->filePath()).fileName();
    QVERIFY2(files.contains(QStringLiteral("qv_en.qm")), qPrintable(files.join(QLatin1Char(' '))));
}

void tst_Translations::cleanupTestCase()
{
    QDir::setCurrent(m_startDir);
}

void tst_Translations::filesCoverEverySourceText()
{
    // Extract again from the library's sources: a text added to the code but
    // not to the translation files would show untranslated.
    const QDir core(sourcePath(QStringLiteral("coagulation/core")));
    QStringList arguments = {QStringLiteral("-silent"), QStringLiteral("-locations"), QStringLiteral("none"),
                             QStringLiteral("-source-language"), QStringLiteral("zh_CN")};
    // The library's sources, one folder per subsystem; their tests and test helpers hold no texts of its own.
    for (const QString &subsystem : core.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)) {
        if (subsystem == QLatin1String("testsupport"))
            continue;
        for (const QString &file : QDir(core.filePath(subsystem)).entryList({QStringLiteral("*.cpp"), QStringLiteral("*.h")}, QDir::Files, QDir::Name))
            arguments << subsystem + QLatin1Char('/') + file;
    }
    const QString extracted = QDir(m_tmp.path()).filePath(QStringLiteral("extracted.ts"));
    arguments << QStringLiteral("-ts") << extracted;
    QVERIFY(runTool(QStringLiteral("lupdate"), arguments, core.path()));

    const QStringList expected = keysOf(readTs(extracted));
    QVERIFY(!expected.isEmpty());
    for (const QString &contextName : {QStringLiteral("Profile"), QStringLiteral("PropertyItemModel"),
                                      QStringLiteral("OemInfo"), QStringLiteral("QObject")})
        QVERIFY2(!expected.filter(contextName + QLatin1String(" | ")).isEmpty(), qPrintable(contextName));
    QCOMPARE(keysOf(readTs(sourcePath(QStringLiteral("translations/qv_en.ts")))), expected);
    QCOMPARE(keysOf(readTs(sourcePath(QStringLiteral("translations/qv_zh_CN.ts")))), expected);
}

void tst_Translations::englishFileTranslatesEverything()
{
    const QList<Message> messages = readTs(sourcePath(QStringLiteral("translations/qv_en.ts")));
    QVERIFY(!messages.isEmpty());
    for (const Message &m : messages) {
        const QByteArray where = (m.context + QLatin1String(": ") + m.source).toUtf8();
        QVERIFY2(m.finished && !m.translation.isEmpty(), where.constData());
        // No Chinese left in an English text.
        for (const QChar c : m.translation)
            QVERIFY2(c.unicode() < 0x2E80 || c.unicode() > 0x9FFF, where.constData());
        // What the build made and installTranslators found is that file.
        QCOMPARE(QCoreApplication::translate(m.context.toUtf8().constData(), m.source.toUtf8().constData()),
                 m.translation);
    }
}

void tst_Translations::startUpMessagesInEnglish_data()
{
    QTest::addColumn<QString>("ini");
    QTest::addColumn<QStringList>("files"); // "profile:path", "empty:path", "dir:path"
    QTest::addColumn<QStringList>("messages");

    QTest::newRow("profile missing")
        << QString() << QStringList() << QStringList{QStringLiteral("Cannot find the profile profile.db")};
    QTest::newRow("profile empty, data cannot open, others empty")
        << QStringLiteral("[db]\ndata=nodir/data.db\n") << QStringList{QStringLiteral("empty:profile.db")}
        << QStringList{QStringLiteral("Invalid profile ./profile.db"),
                       QStringLiteral("Cannot open the database file ./nodir/data.db"),
                       QStringLiteral("Invalid database file ./nodir/data.db"),
                       QStringLiteral("Invalid database file ./qc.db"),
                       QStringLiteral("Invalid database file ./syslog.db")};
    QTest::newRow("profile does not load")
        << QString() << QStringList{QStringLiteral("dir:profile.db")}
        << QStringList{QStringLiteral("Cannot load the profile ./profile.db\n"),
                       QStringLiteral("Invalid profile ./profile.db"),
                       QStringLiteral("Invalid database file ./data.db"),
                       QStringLiteral("Invalid database file ./qc.db"),
                       QStringLiteral("Invalid database file ./syslog.db")};
}

void tst_Translations::startUpMessagesInEnglish()
{
    QFETCH(QString, ini);
    QFETCH(QStringList, files);
    QFETCH(QStringList, messages);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QDir root(dir.path());
    if (!ini.isNull())
        QVERIFY(writeFile(root.filePath(QStringLiteral("settings.ini")), ini.toUtf8()));
    for (const QString &file : qAsConst(files)) {
        const QString kind = file.section(QLatin1Char(':'), 0, 0);
        const QString path = root.filePath(file.section(QLatin1Char(':'), 1));
        QVERIFY(kind == QLatin1String("dir") ? root.mkpath(path) : writeFile(path, QByteArray()));
    }
    QVERIFY(QDir::setCurrent(root.path()));

    QStringList texts;
    {
        MessageBoxRecorder boxes;
        const Profile profile(QStringLiteral("profile.db"), nullptr);
        texts = boxes.texts();
    }
    for (const QString &name : connectionNames)
        QSqlDatabase::removeDatabase(name);
    QVERIFY(QDir::setCurrent(m_startDir));

    QCOMPARE(texts.size(), messages.size());
    for (int i = 0; i < texts.size(); ++i) {
        // A text ending in a line break is followed by the driver's error.
        const QString &m = messages.at(i);
        QVERIFY2(m.endsWith(QLatin1Char('\n')) ? texts.at(i).startsWith(m) : texts.at(i) == m,
                 qPrintable(texts.at(i)));
    }
}

void tst_Translations::resultMessagesInEnglish_data()
{
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("text");

    QTest::newRow("null") << int(AnalysisResult::NullResult) << QStringLiteral("Empty result");
    QTest::newRow("invalid") << int(AnalysisResult::InvalidValue) << QStringLiteral("Invalid value");
    QTest::newRow("unknown") << int(AnalysisResult::UnknownError) << QStringLiteral("Unknown error");
    QTest::newRow("no curve") << int(AnalysisResult::NoStandardCurve) << QStringLiteral("No standard curve");
    QTest::newRow("bad curve") << int(AnalysisResult::InvalidStandardCurve) << QStringLiteral("Invalid standard curve");
    QTest::newRow("curve settings") << int(AnalysisResult::StandardCurveSettingError)
                                    << QStringLiteral("Wrong standard curve settings");
    QTest::newRow("method") << int(AnalysisResult::InvalidCalculationMethod)
                            << QStringLiteral("Invalid calculation method");
    QTest::newRow("parameter") << int(AnalysisResult::MissingCalculationParameter)
                               << QStringLiteral("A parameter the calculation needs is missing");
}

void tst_Translations::resultMessagesInEnglish()
{
    QFETCH(int, code);
    QFETCH(QString, text);
    QCOMPARE(AnalysisResult(AnalysisResult::ErrorCode(code)).errorText(), text);
}

void tst_Translations::modelHeaderInEnglish()
{
    const PropertyItemModel model;
    QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), QStringLiteral("Name"));
    QCOMPARE(model.headerData(1, Qt::Horizontal).toString(), QStringLiteral("Value"));
}

// Translated as they are read: the library was loaded before the translator was.
void tst_Translations::settingTextsInEnglish()
{
    const ProfileItem notClotted = Profile::findItem(QStringLiteral("result_not_clotted"));
    QCOMPARE(notClotted.defaultValue(), QVariant(QStringLiteral("No clot")));
    QCOMPARE(notClotted.label(), QStringLiteral("Not clotted"));
    QCOMPARE(notClotted.group(), QStringLiteral("Result texts"));
    QCOMPARE(Profile::findItem(QStringLiteral("statim_sample_prefix")).defaultValue(), QVariant(QStringLiteral("S")));
}

void tst_Translations::identityInEnglish()
{
    QCOMPARE(OemInfo::oemIdText(), QStringLiteral("0001"));
    QCOMPARE(OemInfo::organizationName(), QStringLiteral("Ningxi Instruments"));
    QCOMPARE(OemInfo::qvApplicationName(), QStringLiteral("Coagulation Analysis System"));
    QCOMPARE(OemInfo::reportDesignerApplicationName(), QStringLiteral("ReportDesigner"));
    QCOMPARE(OemInfo::qvAboutText().arg(OemInfo::qvApplicationName(), QStringLiteral("2.1"),
                                        QStringLiteral("2.1.0.7"), QStringLiteral("2.1.0.7")),
             QStringLiteral("<h2>Coagulation Analysis System</h2>\n<table width=480>\n<tr>\n"
                            "  <td>Release: 2.1</td>\n  <td>Full version: 2.1.0.7</td>\n"
                            "  <td>File version: 2.1.0.7</td>\n</tr>\n</table>"));
}

void tst_Translations::oemIdEntryChangesIdentifierAlone()
{
    const auto texts = [] {
        return QStringList{OemInfo::oemIdText(), OemInfo::organizationName(), OemInfo::qvApplicationName(),
                           OemInfo::qvAboutText(), OemInfo::reportDesignerApplicationName(),
                           PropertyItemModel().headerData(0, Qt::Horizontal).toString()};
    };
    const QStringList before = texts();

    const QDir dir(m_tmp.path());
    const QString ts = dir.filePath(QStringLiteral("oem_en.ts"));
    const QString qm = dir.filePath(QStringLiteral("oem_en.qm"));
    QVERIFY(writeFile(ts, "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<!DOCTYPE TS>\n"
                          "<TS version=\"2.1\" language=\"en\"><context><name>OemInfo</name>"
                          "<message><source>0001</source><translation>7788</translation></message>"
                          "</context></TS>\n"));
    QVERIFY(runTool(QStringLiteral("lrelease"), {QStringLiteral("-silent"), ts, QStringLiteral("-qm"), qm}));

    QTranslator oem;
    QVERIFY(oem.load(qm));
    QVERIFY(QCoreApplication::installTranslator(&oem));
    QStringList expected = before;
    expected[0] = QStringLiteral("7788");
    const QStringList after = texts();
    QCoreApplication::removeTranslator(&oem);
    QCOMPARE(after, expected);
    QCOMPARE(texts(), before);
}

QTEST_MAIN(tst_Translations)
#include "tst_translations.moc"
