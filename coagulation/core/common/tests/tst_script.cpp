#include <QtCore/QDir>
#include <QtCore/QFile>
#include <QtCore/QTemporaryDir>
#include <QtTest/QtTest>

#include <messageboxrecorder.h>
#include <qvglobal.h>

class tst_Script : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void evalGivesValue_data();
    void evalGivesValue();
    void evalKeepsNoState();
    void scriptFile_data();
    void scriptFile();
    void scriptFileNamedInError();

private:
    QTemporaryDir m_tmp;
};

void tst_Script::initTestCase()
{
    QCoreApplication::setApplicationName(QStringLiteral("ScriptTest"));
    QVERIFY(m_tmp.isValid());
}

void tst_Script::evalGivesValue_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<QVariant>("value");

    QTest::newRow("sum") << QStringLiteral("1+2") << QVariant(3.0);
    QTest::newRow("empty text") << QString() << QVariant();
    QTest::newRow("only white space") << QStringLiteral("  \n ") << QVariant();
    QTest::newRow("statements, last value") << QStringLiteral("var x = 2; x * x") << QVariant(4.0);
    QTest::newRow("string") << QStringLiteral("'凝' + '血'") << QVariant(QStringLiteral("凝血"));
    QTest::newRow("boolean") << QStringLiteral("3 > 2") << QVariant(true);
    QTest::newRow("array") << QStringLiteral("[1, 'a']") << QVariant(QVariantList{1.0, QStringLiteral("a")});
    QTest::newRow("null") << QStringLiteral("null") << QVariant();
    QTest::newRow("null inside an array") << QStringLiteral("[null, 2]") << QVariant(QVariantList{QVariant(), 2});
    QTest::newRow("object")
        << QStringLiteral("({dilution: '1/8'})") << QVariant(QVariantMap{{QStringLiteral("dilution"), QStringLiteral("1/8")}});
}

void tst_Script::evalGivesValue()
{
    QFETCH(QString, program);
    QFETCH(QVariant, value);

    MessageBoxRecorder boxes;
    const QVariant result = eval(program);
    QCOMPARE(result.isValid(), value.isValid());
    QCOMPARE(result, value);
    QCOMPARE(boxes.count(), 0);
}

void tst_Script::evalKeepsNoState()
{
    MessageBoxRecorder boxes;
    QCOMPARE(eval(QStringLiteral("var leftOver = 5; leftOver")), QVariant(5.0));
    QCOMPARE(eval(QStringLiteral("typeof leftOver")), QVariant(QStringLiteral("undefined")));
    // An error is converted like any value and shown to nobody.
    const QVariant error = eval(QStringLiteral("1 +"));
    QVERIFY(error.isValid());
    QCOMPARE(error.toMap().value(QStringLiteral("lineNumber")).toInt(), 1);
    QCOMPARE(boxes.count(), 0);
    // An engine left with an uncaught exception does not spoil the next call.
    QCOMPARE(eval(QStringLiteral("6 * 7")), QVariant(42.0));
}

void tst_Script::scriptFile_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QByteArray>("content"); // null: no such file
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QStringList>("messages");

    QTest::newRow("expression") << QStringLiteral("expr.js") << QByteArray("6 * 7") << QVariant(42.0)
                                << QStringList();
    QTest::newRow("UTF-8 text") << QStringLiteral("utf8.js") << QStringLiteral("'凝血时间 ' + 12").toUtf8()
                                << QVariant(QStringLiteral("凝血时间 12")) << QStringList();
    QTest::newRow("UTF-8 with byte-order mark")
        << QStringLiteral("bom.js") << QByteArray("\xEF\xBB\xBF") + QStringLiteral("'秒'").toUtf8()
        << QVariant(QStringLiteral("秒")) << QStringList();
    QTest::newRow("Windows line ends")
        << QStringLiteral("crlf.js") << QByteArray("var a = 1;\r\nvar b = 2;\r\na + b\r\n") << QVariant(3.0)
        << QStringList();
    // The text of a syntax error is the engine's own.
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const QString syntaxError = QStringLiteral("SyntaxError: Expected token `numeric literal'");
#else
    const QString syntaxError = QStringLiteral("SyntaxError: Parse error");
#endif
    QTest::newRow("syntax error: one message")
        << QStringLiteral("syntax.js") << QByteArray("var x = ;") << QVariant() << QStringList{syntaxError};
    QTest::newRow("thrown error: one message")
        << QStringLiteral("throw.js") << QByteArray("throw new Error('no curve')") << QVariant()
        << QStringList{QStringLiteral("Error: no curve")};
    QTest::newRow("thrown plain value is a failure too")
        << QStringLiteral("throwvalue.js") << QByteArray("throw 'no curve'") << QVariant()
        << QStringList{QStringLiteral("no curve")};
    QTest::newRow("empty file") << QStringLiteral("empty.js") << QByteArray("") << QVariant() << QStringList();
    QTest::newRow("missing file: no message")
        << QStringLiteral("missing.js") << QByteArray() << QVariant() << QStringList();
}

void tst_Script::scriptFile()
{
    QFETCH(QString, name);
    QFETCH(QByteArray, content);
    QFETCH(QVariant, value);
    QFETCH(QStringList, messages);

    const QString path = QDir(m_tmp.path()).filePath(name);
    if (!content.isNull()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QCOMPARE(file.write(content), qint64(content.size()));
    }

    MessageBoxRecorder boxes;
    const QVariant result = load_script(path);
    QCOMPARE(result.isValid(), value.isValid());
    QCOMPARE(result, value);
    QCOMPARE(boxes.texts(), messages);
    for (const MessageBoxRecorder::Box &box : boxes.boxes()) {
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(box.title, QStringLiteral("ScriptTest"));
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(box.defaultButton, QMessageBox::Ok);
    }
}

void tst_Script::scriptFileNamedInError()
{
    // The file name and line reach the engine, so a script can report where
    // it failed.
    const QString path = QDir(m_tmp.path()).filePath(QStringLiteral("where.js"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("var e;\ntry { null.x; } catch (x) { e = x; }\n[e.fileName, e.lineNumber]\n");
    file.close();

    // Qt 6's engine names the file by its URL.
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    const QString fileName = QUrl::fromLocalFile(path).toString();
#else
    const QString fileName = path;
#endif
    MessageBoxRecorder boxes;
    QCOMPARE(load_script(path), QVariant(QVariantList{fileName, 2.0}));
    QCOMPARE(boxes.count(), 0);
}

QTEST_MAIN(tst_Script)
#include "tst_script.moc"
