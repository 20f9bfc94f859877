// Stored curves come from a database that may be damaged: reading any bytes
// must neither crash nor allocate beyond them, the curve read must store and
// read back to itself, and converting it must be safe.
#include <clotcurve.h>

#include <QtCore/QtGlobal>

#include <cstdint>
#include <cstdlib>

static void quiet(QtMsgType, const QMessageLogContext &, const QString &) {}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const bool installed = (qInstallMessageHandler(quiet), true);
    (void)installed;

    const QByteArray bytes(reinterpret_cast<const char *>(data), int(size));
    bool ok = false;
    const ClotCurve curve = ClotCurve::fromBuffer(bytes, &ok);
    const QByteArray stored = curve.toBuffer();
    if (stored.size() > qMax(bytes.size(), 8))
        abort();  // more than was there
    if (ok && stored != bytes)
        abort();
    bool again = false;
    if (ClotCurve::fromBuffer(stored, &again).toBuffer() != stored || !again)
        abort();

    const ClotCurve od = curve.toType(ClotCurve::OpticalDensity);
    if (od.size() != curve.size())
        abort();
    for (int i = 0; i < od.size(); i += 97)
        (void)od.y(i);
    ClotCurve cut = curve;
    if (size > 1)
        cut.remove(data[0], data[1]);
    return 0;
}
