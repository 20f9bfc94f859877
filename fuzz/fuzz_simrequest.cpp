// The simulated analyser stands in for hardware in every link test, so it must
// take any request bytes the host (or a faulty test) sends without crashing,
// cut frames from any byte stream without losing track, and answer only with
// well-formed frames.
//
// Input: byte 0 holds options: bit 0 appends a valid checksum to the frame (so
// the parser behind the checksum is reached), bits 1-4 the piece size in which
// the same bytes are streamed through the framer. The rest is the request.
#include <defaultanalyser.h>
#include <simulatedframer.h>
#include <simulatedlink.h>
#include <simulatorprotocol.h>

#include <QtCore/QByteArray>
#include <QtCore/QtGlobal>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

void checkReply(const QByteArray &request, bool sent, const SimulatedReply &reply)
{
    if (sent != !reply.bytes.isEmpty())
        abort();
    if (!sent)
        return;
    // No faults are planned, so every reply is a whole frame of the addressed module.
    if (reply.bytes.size() < 4 || reply.bytes.size() > 512
        || SimulatorProtocol::crc16(reply.bytes.constData(), reply.bytes.size()) != 0
        || reply.bytes.at(0) != request.at(0))
        abort();
    if (reply.delayMs != 0 || reply.pieces != 1)
        abort();
}

void answer(SimulatedLink &link, const char *frame, int size)
{
    SimulatedReply reply;
    const bool sent = link.handleFrame(frame, size, &reply);
    checkReply(QByteArray(frame, size), sent, reply);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool installed = (qInstallMessageHandler(quiet), true);
    (void)installed;
    if (size < 2 || size > 4096)
        return 0;
    const uint8_t options = data[0];
    QByteArray frame(reinterpret_cast<const char *>(data + 1), int(size - 1));
    if (options & 1)
        SimulatorProtocol::appendCrc(frame);

    // A fresh analyser every time: writes grow its files, and a run must be
    // reproducible from its input alone.
    SimulatedLink link;
    link.setRequestLogLimit(16);
    buildDefaultAnalyser(link);

    // The whole input as one frame, from a buffer of exactly its size.
    {
        std::unique_ptr<char[]> exact(new char[size_t(frame.size())]);
        memcpy(exact.get(), frame.constData(), size_t(frame.size()));
        answer(link, exact.get(), frame.size());
    }

    // The same bytes as a stream in pieces, handled as the stream server does:
    // frames as soon as they are whole, open-ended ones once the line is quiet,
    // and an incomplete rest dropped when nothing more comes.
    SimulatedFramer framer([&link](quint8 address) { return link.hasModule(address); });
    const int piece = 1 + ((options >> 1) & 0x0F) * 7;
    qint64 taken = 0;
    auto take = [&](int n) {
        if (n < 4 || n > framer.size() || n > SimulatorProtocol::MaxFrameSize
            || SimulatorProtocol::crc16(framer.data(), n) != 0)
            abort();
        answer(link, framer.data(), n);
        framer.consume(n);
        taken += n;
    };
    // Returns whether the framer waits for the line to fall quiet.
    auto process = [&]() {
        for (;;) {
            const int n = framer.next();
            if (n > 0)
                take(n);
            else
                return n == SimulatedFramer::AwaitQuiet;
        }
    };
    for (int at = 0; at < frame.size(); at += piece) {
        framer.append(frame.constData() + at, qMin(piece, frame.size() - at));
        process();
        if (framer.size() > 2 * SimulatorProtocol::MaxFrameSize + piece)
            abort();
    }
    for (int guard = 0; framer.size() > 0; ++guard) {
        if (guard > frame.size())
            abort();  // neither a frame nor a byte given up: the framer is stuck
        if (process()) {
            const int n = framer.quiet();
            if (n > 0)
                take(n);
        } else if (framer.size() > 0) {
            framer.reset();
        }
    }
    if (taken + framer.discardedBytes() != frame.size() || framer.size() != 0)
        abort();
    return 0;
}
