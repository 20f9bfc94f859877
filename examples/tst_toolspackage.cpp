#include <QtCore/QTemporaryDir>
#include <QtTest/QtTest>

#include <toolrunner.h>

// The installed package: cmake --install into a temporary prefix, then the consumer
// project configured with find_package(QvCore), built and run, and the pkg-config
// file used to compile and link a program by hand.
class tst_ToolsPackage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void installsFiles_data();
    void installsFiles();
    void consumerBuildsWithFindPackage();
    void pkgConfigCompilesAndLinks();

private:
    QTemporaryDir m_dir;
    QString m_prefix;
};

void tst_ToolsPackage::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_prefix = m_dir.filePath("prefix");
    const ToolResult r = runProgram("cmake", {"--install", QV_BINARY_DIR, "--prefix", m_prefix}, QString(), 60000);
    QVERIFY2(r.exitCode == 0, r.err.constData());
}

void tst_ToolsPackage::installsFiles_data()
{
    QTest::addColumn<QString>("file");
    QTest::newRow("library") << "lib/libqvcore.so";
    QTest::newRow("header") << "include/qvcore/modbusclient.h";
    QTest::newRow("export header") << "include/qvcore/qvcore_global.h";
    QTest::newRow("package config") << "lib/cmake/QvCore/QvCoreConfig.cmake";
    QTest::newRow("package version") << "lib/cmake/QvCore/QvCoreConfigVersion.cmake";
    QTest::newRow("targets") << "lib/cmake/QvCore/QvCoreTargets.cmake";
    QTest::newRow("pkg-config") << "lib/pkgconfig/qvcore.pc";
    QTest::newRow("translation") << "share/qvcore/translations/qv_en.qm";
    QTest::newRow("profile tool") << "bin/qvprofile";
    QTest::newRow("curve tool") << "bin/qvcurve";
    QTest::newRow("wireshark dissector") << "share/qvcore/wireshark/qvlink.lua";
    QTest::newRow("wireshark extcap program") << "share/qvcore/wireshark/qvlink-extcap";
}

void tst_ToolsPackage::installsFiles()
{
    QFETCH(QString, file);
    QVERIFY2(QFile::exists(QDir(m_prefix).filePath(file)), qPrintable(file));
    QVERIFY(!QFile::exists(QDir(m_prefix).filePath("include/qvcore/profile_p.h")));
}

void tst_ToolsPackage::consumerBuildsWithFindPackage()
{
    const QString build = m_dir.filePath("consumer");
    ToolResult r = runProgram("cmake", {"-S", QV_SOURCE_DIR "/examples/consumer", "-B", build, "-G", "Ninja",
                                        "-DCMAKE_PREFIX_PATH=" + m_prefix}, QString(), 60000);
    QVERIFY2(r.exitCode == 0, r.err.constData());
    r = runProgram("cmake", {"--build", build}, QString(), 120000);
    QVERIFY2(r.exitCode == 0, (r.out + r.err).constData());
    r = runProgram(QDir(build).filePath("consumer"), {});
    QCOMPARE(r.exitCode, 0);
    const QStringList expected = {"request = 01 2b 0c 05 03 00 10 00 02", "crc16(123456789) = 29b1",
                                  "gates of 1/5 = 1", "exception = 7f058302", "driver read time-out = 100",
                                  "driver lock nests = yes", "curve points = 100", "bits = 8", "oem = 0001",
                                  QStringLiteral("qt = %1 %1 %1").arg(QT_VERSION_MAJOR), "translations = present"};
    QCOMPARE(r.lines(), expected);
    // it runs against the installed library, not the build tree's
    r = runProgram("ldd", {QDir(build).filePath("consumer")});
    QVERIFY2(r.text().contains(m_prefix + "/lib/libqvcore.so"), r.out.constData());
}

void tst_ToolsPackage::pkgConfigCompilesAndLinks()
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("PKG_CONFIG_PATH", m_prefix + "/lib/pkgconfig");
    ToolResult r = runProgram("pkg-config", {"--cflags", "--libs", "qvcore"}, QString(), 10000, env);
    QCOMPARE(r.exitCode, 0);
    QVERIFY(r.text().contains("-lqvcore"));
    const QStringList flags = r.text().simplified().split(' ');
    // the Qt the library was built with
    const ToolResult requires = runProgram("pkg-config", {"--print-requires", "qvcore"}, QString(), 10000, env);
    QVERIFY2(requires.text().contains(QStringLiteral("Qt%1Core").arg(QT_VERSION_MAJOR)), requires.out.constData());

    const QString source = m_dir.filePath("use.cpp");
    QFile f(source);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("#include <messagebuilder.h>\n#include <cstdio>\n"
            "int main() { std::printf(\"%x\\n\", crc16(\"abc\", 3)); return 0; }\n");
    f.close();
    const QString program = m_dir.filePath("use");
    r = runProgram("g++", QStringList{"-std=c++17", "-fPIC", source, "-o", program} + flags
                          + QStringList{"-Wl,-rpath," + m_prefix + "/lib"}, QString(), 120000);
    QVERIFY2(r.exitCode == 0, r.err.constData());
    r = runProgram(program, {});
    QCOMPARE(r.text(), QString("514a\n"));
}

QTEST_GUILESS_MAIN(tst_ToolsPackage)
#include "tst_toolspackage.moc"
