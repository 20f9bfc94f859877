#ifndef SIMULATEDCHAOS_H
#define SIMULATEDCHAOS_H

#include <QByteArray>

#include <array>
#include <mutex>
#include <random>

struct SimulatedReply;
struct SimulatedFault;

// A schedule of faults drawn at random, reproducible from its seed: each reply, with the
// given probability, gets one fault drawn from every class the simulator knows. Delays
// and drips are scaled by the client's time-out, so that a schedule means the same to a
// fast test and to a real client. Thread-safe.
class SimulatedChaos
{
public:
    enum Kind {
        None,
        Delay,          // the reply comes 0 to 10 time-outs late
        Duplicate,      // the reply is sent twice, back to back
        UnaskedBefore,  // a valid frame nobody asked for, of another module or function, just before
        UnaskedAfter,   // the same, just after the reply
        NoiseBefore,    // random bytes before, inside or after the reply
        NoiseInside,
        NoiseAfter,
        Drip,           // the reply a byte at a time, 5 to 40 ms apart
        Endless,        // the reply, then random bytes 5 to 40 ms apart for 10 to 30 time-outs
        Short,          // the reply stops early
        CorruptCrc,
        GatewayLate,    // routed: the first gateway's own "no response" after 0 to 4 time-outs,
                        // then the module's reply shortly after it
        HangUp,         // the line closes after some bytes of the reply
        Drop,           // no reply at all
        Misroute,       // the reply names another module where its route ends
        Extend,         // a read answers more items than asked
        KindCount
    };

    SimulatedChaos(quint32 seed, double rate, int timeoutMs);

    quint32 seed() const { return m_seed; }
    double rate() const { return m_rate; }
    int timeoutMs() const { return m_timeoutMs; }

    // Draws the fault of the reply to request (CRC included); faults that change what the
    // module answers are merged into fault.
    Kind draw(const quint8 *request, int size, SimulatedFault *fault);
    // Shapes the reply's bytes (CRC included) and timing after the fault drawn.
    void apply(Kind kind, const quint8 *request, int size, SimulatedReply *reply);

    // How many replies got each fault so far.
    quint64 count(Kind kind) const;
    static const char *name(Kind kind);

private:
    int between(int low, int high); // inclusive
    QByteArray noise(int low, int high);
    QByteArray unaskedFrame(const quint8 *request, int size);

    mutable std::mutex m_mutex;
    std::mt19937 m_random;
    quint32 m_seed;
    double m_rate;
    int m_timeoutMs;
    std::array<quint64, KindCount> m_counts{};
};

#endif // SIMULATEDCHAOS_H
