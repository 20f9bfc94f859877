// Frame codec throughput: the checksum over typical and large buffers, and the
// reply-length prediction the client asks for after every read.
#include <benchmark/benchmark.h>

#include <messagebuilder.h>

#include <QtCore/QByteArray>

namespace {

QByteArray pattern(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i * 31 + 7);
    return bytes;
}

void BM_Crc16(benchmark::State &state)
{
    const QByteArray data = pattern(int(state.range(0)));
    for (auto _ : state)
        benchmark::DoNotOptimize(crc16(data.constData(), data.size()));
    state.SetBytesProcessed(int64_t(state.iterations()) * data.size());
}
BENCHMARK(BM_Crc16)->Arg(128)->Arg(64 * 1024);

QByteArray frame(const char *hex)
{
    QByteArray request = QByteArray::fromHex(hex);
    const quint16 crc = crc16(request.constData(), request.size());
    return request + char(crc >> 8) + char(crc & 0xFF);
}

void predict(benchmark::State &state, const QByteArray &request, const QByteArray &reply)
{
    const auto *req = reinterpret_cast<const unsigned char *>(request.constData());
    const auto *rep = reinterpret_cast<const unsigned char *>(reply.constData());
    for (auto _ : state)
        benchmark::DoNotOptimize(Modbus::calculateReplyFrameSize(req, request.size(), rep, reply.size()));
    state.SetItemsProcessed(state.iterations());
}

void BM_ReplyFrameSize_Direct(benchmark::State &state)
{
    predict(state, frame("01 03 0010 000a"), QByteArray::fromHex("010314"));
}
BENCHMARK(BM_ReplyFrameSize_Direct);

void BM_ReplyFrameSize_TwoHops(benchmark::State &state)
{
    predict(state, frame("01 2b0c05 2b0c03 03 0010 000a"), QByteArray::fromHex("012b0c052b0c030314"));
}
BENCHMARK(BM_ReplyFrameSize_TwoHops);

void BM_ReplyFrameSize_CountedReply(benchmark::State &state)
{
    predict(state, frame("01 14 07 06 0004 0000 0010"), QByteArray::fromHex("011422"));
}
BENCHMARK(BM_ReplyFrameSize_CountedReply);

} // namespace

BENCHMARK_MAIN();
