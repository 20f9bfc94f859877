// A file written in chunks is one operation on the module: while it runs, the
// transport is its own, so exchanges of other threads on the same transport
// fall before or after it, never between its chunks. Run under
// ThreadSanitizer by ./qv test --tsan.
#include <QtTest/QtTest>

#include <atomic>
#include <thread>

#include <abstractdevicemodule.h>
#include <modbusclient.h>
#include <modulestatus.h>
#include <socketdriver.h>

#include <simulatedmodule.h>
#include <simulatorthread.h>

class tst_FileWriteConcurrency : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void writeFileAgainstConcurrentReads();
};

void tst_FileWriteConcurrency::writeFileAgainstConcurrentReads()
{
    SimulatorThread sim;
    SimulatedModule *module = sim.link().addModule(2);
    QVector<quint16> values(64);
    for (int i = 0; i < values.size(); ++i)
        values[i] = quint16(0x7100 + 3 * i);
    module->setHoldingRegisters(0, values);
    QVERIFY2(sim.start(SimulatorThread::Tcp), qPrintable(sim.errorString()));
    SocketDriver driver;
    driver.setPortName(sim.url());
    QVERIFY(driver.open());

    // 120 records are three chunks of at most 50 at path 2.
    const int records = 120;
    const int writes = 8;
    std::atomic<int> wrong{0};
    std::atomic<bool> writing{true};
    auto reader = [&](int offset) {
        ModbusClient client;
        client.setDriver(&driver);
        const Modbus::AbstractDeviceModule m(QStringLiteral("2"), &client);
        for (int i = 0; writing.load() || i < 10; ++i) {
            const int address = (offset + i) % 60;
            QByteArray buffer(4, '\0');
            Modbus::ModuleStatus status;
            if (m.readWord(quint16(address), 2, buffer.data(), &status) != 2 || status.data() != 0
                || quint16(quint8(buffer[0]) << 8 | quint8(buffer[1])) != values[address]
                || quint16(quint8(buffer[2]) << 8 | quint8(buffer[3])) != values[address + 1])
                ++wrong;
        }
    };
    QByteArray last;
    auto writer = [&]() {
        ModbusClient client;
        client.setDriver(&driver);
        const Modbus::AbstractDeviceModule m(QStringLiteral("2"), &client);
        for (int w = 0; w < writes; ++w) {
            QByteArray data(2 * records, '\0');
            for (int i = 0; i < data.size(); ++i)
                data[i] = char(w * 31 + i);
            Modbus::ModuleStatus status;
            if (m.writeFile(9, 0, records, data.constData(), &status) != records || status.data() != 0)
                ++wrong;
            last = data;
        }
        writing = false;
    };
    std::thread a(reader, 0), b(reader, 23), w(writer);
    w.join();
    a.join();
    b.join();
    QCOMPARE(wrong.load(), 0);
    QCOMPARE(module->fileBytes(9).left(2 * records), last);

    // Each writeFile's three chunks follow one another in the simulator's log.
    int chunk = 0;
    int chunks = 0;
    for (const QByteArray &frame : sim.link().requests()) {
        const bool isFileWrite = quint8(frame.at(1)) == 0x15;
        if (chunk > 0)
            QVERIFY2(isFileWrite, "a read fell between the chunks of a file write");
        if (isFileWrite) {
            chunk = (chunk + 1) % 3;
            ++chunks;
        }
    }
    QCOMPARE(chunks, 3 * writes);
}

QTEST_MAIN(tst_FileWriteConcurrency)
#include "tst_filewriteconcurrency.moc"
