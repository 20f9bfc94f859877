// Replies come from a wire that may carry anything: predicting their length
// from any request and any prefix of a reply, stripping their route and reading
// their fields must stay inside the bytes given and keep the builder coherent.
//
// Input: byte 0 is the request length n (mod 64), the next n bytes the request
// frame, the rest the reply. Both are copied into buffers of exactly their size,
// so that a read one byte past either end is caught.
#include <messagebuilder.h>

#include <QtCore/QtGlobal>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

std::unique_ptr<unsigned char[]> exactCopy(const uint8_t *data, size_t size)
{
    std::unique_ptr<unsigned char[]> copy(new unsigned char[size ? size : 1]);
    if (size)
        std::memcpy(copy.get(), data, size);
    return copy;
}

void checkPrediction(const uint8_t *data, size_t size)
{
    const int requestLength = int(qMin<size_t>(data[0] % 64, size - 1));
    const size_t replySize = size - 1 - size_t(requestLength);
    const auto request = exactCopy(data + 1, size_t(requestLength));
    const auto reply = exactCopy(data + 1 + requestLength, replySize);

    // As the client asks: once with nothing yet, then after every byte received.
    for (size_t got = 0; got <= replySize; ++got) {
        const int expected = Modbus::calculateReplyFrameSize(request.get(), requestLength,
                                                             reply.get(), int(got));
        if (expected == 0 || expected < -1)
            abort();
        // An exception reply, of the target or of the first gateway, is 5 bytes.
        if (requestLength >= 2 && got >= 2 && (reply[1] & 0x80) && expected != 5)
            abort();
    }
    // A null reply with a length is the same as no reply.
    if (Modbus::calculateReplyFrameSize(request.get(), requestLength, nullptr, int(replySize))
        != Modbus::calculateReplyFrameSize(request.get(), requestLength, reply.get(), 0))
        abort();
}

void checkReaders(const uint8_t *data, size_t size)
{
    const int requestLength = int(qMin<size_t>(data[0] % 64, size - 1));
    const QByteArray reply(reinterpret_cast<const char *>(data + 1 + requestLength),
                           int(size - 1 - size_t(requestLength)));
    const int hops = data[0] >> 6;
    QString path = QStringLiteral("1");
    for (int i = 0; i < hops; ++i)
        path += QStringLiteral("/%1").arg(i + 2);

    MessageBuilder builder(path);
    if (builder.gateCount() != hops)
        abort();
    builder.readWord(0x10, 2);
    // What the client leaves behind after an exchange: the reply at position 0.
    builder.buffer() = reply;
    builder.seek(0);

    const int removed = builder.discardRoute();
    if (removed < 0 || 3 * removed > reply.size() || builder.size() != reply.size() - 3 * removed)
        abort();
    if (removed > 0 && (builder.pos() != 0 || builder.buffer() != reply.mid(3 * removed)))
        abort();
    if (removed == 0 && builder.buffer() != reply)
        abort();
    const bool exception = builder.isExceptionResponse();
    if (exception && (builder.size() < 3 || !(uchar(builder.buffer().at(1)) & 0x80)))
        abort();

    const bool hasData = builder.seekToData();
    if (hasData != (builder.size() >= 2))
        abort();
    if (hasData) {
        const bool counted = builder.checkDataSize();
        if (counted && builder.size() < 3)
            abort();
        if (counted && uchar(builder.buffer().at(2)) != builder.left())
            abort();
    }
    // Field reads as the module operations do them, with skips taken from the
    // reply itself, must never move outside the buffer.
    builder.seek(0);
    int step = 0;
    while (builder.status() == QDataStream::Ok && step < 64) {
        quint8 b = 0;
        quint16 w = 0;
        quint32 l = 0;
        switch (step++ % 4) {
        case 0: builder >> b; break;
        case 1: builder >> w; break;
        case 2: builder >> l; break;
        default:
            builder >> b;
            builder.skipRawData(b % 9);
            break;
        }
        if (builder.pos() < 0 || builder.pos() > builder.size() || builder.left() < 0)
            abort();
    }
    if (builder.seek(builder.size() + 1) || builder.seek(-1))
        abort();
    builder.reset();
    if (builder.size() != 1 + 3 * hops || builder.gateCount() != hops)
        abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool installed = (qInstallMessageHandler(quiet), true);
    (void)installed;
    if (size == 0)
        return 0;
    checkPrediction(data, size);
    checkReaders(data, size);
    return 0;
}
