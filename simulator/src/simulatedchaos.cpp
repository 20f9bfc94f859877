#include "simulatedchaos.h"

#include "simulatedfaultplan.h"
#include "simulatedlink.h"
#include "simulatorprotocol.h"

using namespace SimulatorProtocol;

namespace {

// Functions an unasked frame may carry, with a plausible body each.
constexpr quint8 UnaskedFunctions[] = { ReadCoils, ReadDiscreteInputs, ReadHoldingRegisters, ReadInputRegisters,
                                        ReadExceptionStatus, GetEventCounter };

bool isRouted(const quint8 *request, int size)
{
    return size > 4 && request[1] == EncapsulatedInterface && request[2] == MeiRoute;
}

// The function the reply to request answers: behind its route triplets.
quint8 finalFunction(const quint8 *request, int size)
{
    int at = 0;
    while (at + 4 < size && request[at + 1] == EncapsulatedInterface && request[at + 2] == MeiRoute)
        at += 3;
    return request[at + 1];
}

} // namespace

SimulatedChaos::SimulatedChaos(quint32 seed, double rate, int timeoutMs)
    : m_random(seed)
    , m_seed(seed)
    , m_rate(qBound(0.0, rate, 1.0))
    , m_timeoutMs(qMax(1, timeoutMs))
{
}

int SimulatedChaos::between(int low, int high)
{
    return std::uniform_int_distribution<int>(low, qMax(low, high))(m_random);
}

QByteArray SimulatedChaos::noise(int low, int high)
{
    QByteArray bytes(between(low, high), Qt::Uninitialized);
    for (char &c : bytes)
        c = char(between(0, 255));
    return bytes;
}

// A frame with a good checksum that answers nothing asked: another module's, or this
// module's answer to another function.
QByteArray SimulatedChaos::unaskedFrame(const quint8 *request, int size)
{
    const quint8 function = finalFunction(request, size);
    QByteArray frame;
    if (between(0, 1) == 0) {
        quint8 address = quint8(between(1, 247));
        if (address == request[0])
            address = quint8(address % 247 + 1);
        frame.append(char(address));
    } else {
        frame.append(char(request[0]));
    }
    quint8 other = UnaskedFunctions[between(0, int(sizeof UnaskedFunctions) - 1)];
    if (other == function)
        other = other == ReadCoils ? ReadDiscreteInputs : ReadCoils;
    frame.append(char(other));
    const QByteArray body = noise(1, 8);
    if (other == ReadExceptionStatus) {
        frame.append(body.left(1));
    } else if (other == GetEventCounter) {
        frame.append(noise(4, 4));
    } else {
        frame.append(char(body.size()));
        frame.append(body);
    }
    appendCrc(frame);
    return frame;
}

SimulatedChaos::Kind SimulatedChaos::draw(const quint8 *request, int size, SimulatedFault *fault)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (std::uniform_real_distribution<double>(0.0, 1.0)(m_random) >= m_rate)
        return None;
    Kind kind = Kind(between(Delay, KindCount - 1));
    if (kind == GatewayLate && !isRouted(request, size))
        kind = Delay;
    switch (kind) {
    case CorruptCrc:
        fault->corruptCrc = true;
        break;
    case HangUp:
        fault->hangUpAfter = between(0, 12);
        break;
    case Drop:
        fault->drop = true;
        break;
    case Misroute:
        fault->misroute = true;
        break;
    case Extend:
        fault->extraItems += between(1, 3);
        break;
    default:
        break;
    }
    ++m_counts[kind];
    return kind;
}

void SimulatedChaos::apply(Kind kind, const quint8 *request, int size, SimulatedReply *reply)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    QByteArray &bytes = reply->bytes;
    const int t = m_timeoutMs;
    const auto send = [reply](int atMs, const QByteArray &part, int dripMs = 0) {
        reply->parts.append({ atMs, part, dripMs });
    };
    switch (kind) {
    case Delay:
        reply->delayMs += between(0, 10 * t);
        break;
    case Duplicate:
        bytes += bytes;
        break;
    case UnaskedBefore:
        bytes.prepend(unaskedFrame(request, size));
        break;
    case UnaskedAfter:
        bytes.append(unaskedFrame(request, size));
        break;
    case NoiseBefore:
        bytes.prepend(noise(1, 8));
        break;
    case NoiseInside:
        bytes.insert(between(1, bytes.size() - 1), noise(1, 4));
        break;
    case NoiseAfter:
        bytes.append(noise(1, 8));
        break;
    case Drip:
        send(reply->delayMs, bytes, between(5, 40));
        break;
    case Endless: {
        send(reply->delayMs, bytes);
        const int end = reply->delayMs + between(10 * t, 30 * t);
        for (int at = reply->delayMs + between(5, 40); at < end; at += between(5, 40))
            send(at, noise(1, 1));
        break;
    }
    case Short:
        bytes.resize(between(1, bytes.size() - 1));
        break;
    case GatewayLate: {
        QByteArray exception;
        exception.append(char(request[0]));
        exception.append(char(EncapsulatedInterface | 0x80));
        exception.append(char(GatewayTargetNoResponse));
        appendCrc(exception);
        const int at = reply->delayMs + between(0, 4 * t);
        send(at, exception);
        send(at + between(5, 3 * t), bytes);
        break;
    }
    default: // the rest changed the answer itself
        break;
    }
}

quint64 SimulatedChaos::count(Kind kind) const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return kind >= 0 && kind < KindCount ? m_counts[kind] : 0;
}

const char *SimulatedChaos::name(Kind kind)
{
    static const char *const names[KindCount] = { "none", "delay", "duplicate", "unasked-before", "unasked-after",
                                                  "noise-before", "noise-inside", "noise-after", "drip", "endless",
                                                  "short", "corrupt-crc", "gateway-late", "hang-up", "drop",
                                                  "misroute", "extend" };
    return kind >= 0 && kind < KindCount ? names[kind] : "";
}
