#include <QtCore/QTemporaryDir>
#include <QtTest/QtTest>

#include <qvcoreversion.h>
#include <toolrunner.h>

// The installed package: cmake --install into a temporary prefix and the Debian packages
// that cpack makes, unpacked into a folder of their own. Against each, the consumer
// project configured with find_package(QvCore), every installed header compiled on its
// own with Qt's strict macros, the program built and run; and the pkg-config file used
// to compile and link a program by hand.
class tst_ToolsPackage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void installsFiles_data();
    void installsFiles();
    void debianPackages_data();
    void debianPackages();
    void consumerBuildsWithFindPackage_data();
    void consumerBuildsWithFindPackage();
    void pkgConfigCompilesAndLinks();

private:
    QTemporaryDir m_dir;
    QString m_prefix;
    QString m_packages;      // the .deb files
    QString m_packageRoot;   // where they are unpacked
};

namespace {

// Library, development files and tools: the package names of the Qt this build uses.
QStringList packageNames()
{
    const QString major = QString::number(QVCORE_VERSION_MAJOR);
    if (QT_VERSION_MAJOR == 6)
        return {"libqvcore-qt6-" + major, "libqvcore-qt6-dev", "qvcore-qt6-tools"};
    return {"libqvcore" + major, "libqvcore-dev", "qvcore-tools"};
}

QString packageFile(const QString &folder, const QString &name)
{
    const QStringList found = QDir(folder).entryList({name + "_*.deb"}, QDir::Files);
    return found.size() == 1 ? QDir(folder).filePath(found.first()) : QString();
}

} // namespace

void tst_ToolsPackage::initTestCase()
{
    QVERIFY(m_dir.isValid());
    m_prefix = m_dir.filePath("prefix");
    ToolResult r = runProgram("cmake", {"--install", QV_BINARY_DIR, "--prefix", m_prefix}, QString(), 60000);
    QVERIFY2(r.exitCode == 0, r.err.constData());

    m_packages = m_dir.filePath("packages");
    m_packageRoot = m_dir.filePath("root");
    r = runProgram("cpack", {"--config", QV_BINARY_DIR "/CPackConfig.cmake", "-B", m_packages}, QString(), 300000);
    QVERIFY2(r.exitCode == 0, (r.out + r.err).constData());
    for (const QString &name : packageNames()) {
        const QString deb = packageFile(m_packages, name);
        QVERIFY2(!deb.isEmpty(), qPrintable(name));
        r = runProgram("dpkg-deb", {"-x", deb, m_packageRoot});
        QVERIFY2(r.exitCode == 0, r.err.constData());
    }
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
    QTest::newRow("version header") << "include/qvcore/qvcoreversion.h";
    QTest::newRow("consumer example") << "share/qvcore/examples/consumer/CMakeLists.txt";
    QTest::newRow("editor example") << "share/qvcore/examples/profileeditor/profilesettingitem.cpp";
    QTest::newRow("monitor example") << "share/qvcore/examples/monitor/monitorwindow.cpp";
    QTest::newRow("monitor") << "bin/qvmonitor";
}

void tst_ToolsPackage::installsFiles()
{
    QFETCH(QString, file);
    QVERIFY2(QFile::exists(QDir(m_prefix).filePath(file)), qPrintable(file));
    QVERIFY(!QFile::exists(QDir(m_prefix).filePath("include/qvcore/profile_p.h")));
    QVERIFY(!QFile::exists(QDir(m_prefix).filePath("share/qvcore/examples/profileeditor/tst_profileeditor.cpp")));
    QVERIFY(!QFile::exists(QDir(m_prefix).filePath("share/qvcore/examples/monitor/tst_monitor.cpp")));
}

void tst_ToolsPackage::debianPackages_data()
{
    const QStringList names = packageNames();
    const QString library = QStringLiteral("%1 (= %2)").arg(names.at(0), QVCORE_VERSION_STR);
    const QString qtCore = QT_VERSION_MAJOR == 6 ? "libqt6core6" : "libqt5core5a";
    const QString qtDev = QT_VERSION_MAJOR == 6 ? "qt6-base-dev" : "qtbase5-dev";
    const QString sqlite = QT_VERSION_MAJOR == 6 ? "libqt6sql6-sqlite" : "libqt5sql5-sqlite";
    QTest::addColumn<QString>("package");
    QTest::addColumn<QString>("file");
    QTest::addColumn<QStringList>("depends");
    QTest::newRow("library") << names.at(0) << "usr/lib/libqvcore.so." + QString::number(QVCORE_VERSION_MAJOR)
                             << QStringList{qtCore, sqlite};
    QTest::newRow("development") << names.at(1) << "usr/include/qvcore/modbusclient.h" << QStringList{library, qtDev};
    QTest::newRow("tools") << names.at(2) << "usr/bin/qvlink" << QStringList{library, qtCore};
}

// Each package holds its files under /usr and depends on Debian's Qt packages, and the
// development files and tools on the library of the same version.
void tst_ToolsPackage::debianPackages()
{
    QFETCH(QString, package);
    QFETCH(QString, file);
    QFETCH(QStringList, depends);
    const QString deb = packageFile(m_packages, package);
    ToolResult r = runProgram("dpkg-deb", {"--contents", deb});
    QVERIFY2(r.text().contains("./" + file), r.out.constData());
    r = runProgram("dpkg-deb", {"--field", deb, "Depends"});
    for (const QString &dependency : depends)
        QVERIFY2(r.text().contains(dependency), qPrintable(dependency + " not in " + r.text()));
}

void tst_ToolsPackage::consumerBuildsWithFindPackage_data()
{
    QTest::addColumn<QString>("prefix");
    QTest::newRow("install tree") << m_prefix;
    QTest::newRow("Debian packages") << m_packageRoot + "/usr";
}

void tst_ToolsPackage::consumerBuildsWithFindPackage()
{
    QFETCH(QString, prefix);
    const QString build = m_dir.filePath("consumer-" + QString::fromLatin1(QTest::currentDataTag()).replace(' ', '-'));
    ToolResult r = runProgram("cmake", {"-S", QV_SOURCE_DIR "/examples/consumer", "-B", build, "-G", "Ninja",
                                        "-DCMAKE_PREFIX_PATH=" + prefix, "-DQVCORE_CHECK_HEADERS=ON"},
                              QString(), 60000);
    QVERIFY2(r.exitCode == 0, r.err.constData());
    r = runProgram("cmake", {"--build", build}, QString(), 600000);
    QVERIFY2(r.exitCode == 0, (r.out + r.err).constData());
    // every installed header, each compiled on its own
    const QStringList headers = QDir(prefix + "/include/qvcore").entryList({"*.h"}, QDir::Files);
    QVERIFY(headers.contains("qvcoreversion.h") && headers.contains("propertyitemmodel.h"));
    QCOMPARE(QDir(build + "/headers").entryList({"*.cpp"}, QDir::Files).size(), headers.size());

    r = runProgram(QDir(build).filePath("consumer"), {});
    QCOMPARE(r.exitCode, 0);
    const QStringList expected = {"request = 01 2b 0c 05 03 00 10 00 02", "crc16(123456789) = 29b1",
                                  "gates of 1/5 = 1", "exception = 7f058302", "driver read time-out = 100",
                                  "driver lock nests = yes", "curve points = 100", "bits = 8", "oem = 0001",
                                  QStringLiteral("qt = %1 %1 %1").arg(QT_VERSION_MAJOR), "translations = present",
                                  QStringLiteral("version = %1 %1").arg(QVCORE_VERSION_STR)};
    QCOMPARE(r.lines(), expected);
    // it runs against the installed library, not the build tree's
    r = runProgram("ldd", {QDir(build).filePath("consumer")});
    QVERIFY2(r.text().contains(prefix + "/lib/libqvcore.so"), r.out.constData());
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
    // Requires: the Qt modules the installed headers include; the others are private.
    const ToolResult requires = runProgram("pkg-config", {"--print-requires", "qvcore"}, QString(), 10000, env);
    const ToolResult requiresPrivate =
        runProgram("pkg-config", {"--print-requires-private", "qvcore"}, QString(), 10000, env);
    const QString qt = QStringLiteral("Qt%1").arg(QT_VERSION_MAJOR);
    for (const char *module : {"Core", "Gui", "Widgets", "Sql"}) {
        QVERIFY2(requires.text().contains(qt + module), requires.out.constData());
        QVERIFY2(!requiresPrivate.text().contains(qt + module), requiresPrivate.out.constData());
    }
    for (const char *module : {"Network", "SerialPort"}) {
        QVERIFY2(!requires.text().contains(qt + module), requires.out.constData());
        QVERIFY2(requiresPrivate.text().contains(qt + module), requiresPrivate.out.constData());
    }

    const QString source = m_dir.filePath("use.cpp");
    QFile f(source);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write("#include <messagebuilder.h>\n#include <cstdio>\n"
            "int main() { std::printf(\"%x\\n\", crc16(\"abc\", 3)); return 0; }\n");
    f.close();
    const QString program = m_dir.filePath("use");
    r = runProgram("g++", QStringList{"-std=c++17", "-fPIC", "-DQT_NO_KEYWORDS", "-DQT_NO_CAST_FROM_ASCII",
                                      "-DQT_NO_CAST_TO_ASCII", source, "-o", program} + flags
                          + QStringList{"-Wl,-rpath," + m_prefix + "/lib"}, QString(), 120000);
    QVERIFY2(r.exitCode == 0, r.err.constData());
    r = runProgram(program, {});
    QCOMPARE(r.text(), QString("514a\n"));
}

QTEST_GUILESS_MAIN(tst_ToolsPackage)
#include "tst_toolspackage.moc"
