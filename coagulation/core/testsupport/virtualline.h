#ifndef VIRTUALLINE_H
#define VIRTUALLINE_H

#include <devicedriver.h>

#include <QtCore/QByteArray>

#include <map>

class QBuffer;
class SimulatedLink;

// A line that keeps time of its own, for tests of the link's timing rules and for the
// fuzzer: a write hands the request to the simulated link, whose reply (with its faults'
// timing and the chaos schedule's parts) is due at its times; a wait moves the clock on to
// the next byte due, or to its end. Bytes can be put on the line at any time, and nothing
// ever sleeps, so an exchange that would take ten seconds takes none and is timed exactly.
class VirtualLine : public DeviceDriver
{
public:
    explicit VirtualLine(SimulatedLink *link = nullptr);
    ~VirtualLine() override;

    // Milliseconds on this line's clock.
    qint64 now() const { return m_now; }
    // Lets time pass, as between exchanges.
    void advance(int ms) { m_now += ms; }
    // Bytes arriving atMs from now (noise, a frame nobody asked for).
    void inject(int atMs, const QByteArray &bytes);
    // Frames written since the last call, CRC included.
    int takeWrites();

    bool open() override;
    bool isOpen() const override;
    void close() override;
    QStringList avaliablePorts() const override;
    QString portName() const override;
    void setPortName(const QString &) override;
    void clear() override;
    QIODevice *device() const override;
    bool send(const char *data, int size) override;
    int receive(char *buffer, int capacity, int msecs) override;
    int discard() override;

protected:
    qint64 lineTimeMs() const override { return m_now; }

private:
    SimulatedLink *m_link;
    QBuffer *m_device;
    std::multimap<qint64, char> m_due; // in arrival order; equal times in the order sent
    qint64 m_now = 1000000;
    qint64 m_hangUpAt = -1;
    int m_writes = 0;
};

#endif // VIRTUALLINE_H
