#include "clotcurve.h"

#include <QtCore/QDataStream>
#include <QtCore/QtEndian>
#include <QtCore/QtMath>
#include <QtCore/QDebug>
#include <QtSql/QSqlError>
#include <QtSql/QSqlQuery>

#include "profile.h"
#include "qvlogging_p.h"

#include <cmath>
#include <cstring>
#include <limits>

namespace {

// The stored form must not follow whatever a later Qt makes the stream's
// default: big-endian, doubles as 8-byte IEEE-754.
void pinFormat(QDataStream &stream)
{
    stream.setVersion(QDataStream::Qt_4_8);
    stream.setByteOrder(QDataStream::BigEndian);
    stream.setFloatingPointPrecision(QDataStream::DoublePrecision);
}

const int curveHeaderSize = 8;     // type, segment count
const int segmentHeaderSize = 20;  // x0, dx, point count
const int valueSize = 8;

// Rounds a non-negative quotient half up (as qRound does), without letting a
// quotient beyond the point count, an infinity or a NaN reach the int
// conversion: every count from `limit` up has the same effect below.
int roundedCount(double q, int limit)
{
    if (!(q > 0.0))
        return 0;
    if (q >= double(limit))
        return limit;
    return int(std::floor(q + 0.5));
}

} // namespace

int ClotCurve::size() const
{
    int total = 0;
    for (const Segment &s : m_segments)
        total += s.y.size();
    return total;
}

double ClotCurve::x(int i) const
{
    if (i < 0)
        return 0.0;
    for (const Segment &s : m_segments) {
        if (i < s.y.size())
            return i * s.dx + s.x0;
        i -= s.y.size();
    }
    return 0.0;
}

double ClotCurve::y(int i) const
{
    if (i < 0)
        return 0.0;
    for (const Segment &s : m_segments) {
        if (i < s.y.size())
            return s.y.at(i);
        i -= s.y.size();
    }
    return 0.0;
}

void ClotCurve::remove(int index, int count)
{
    if (index < 0 || count <= 0)
        return;
    int p = index;  // relative to the current segment
    int k = count;
    int s = 0;
    while (k != 0 && s < m_segments.size()) {
        const int n = m_segments.at(s).y.size();
        if (p >= n) {
            p -= n;
            ++s;
            continue;
        }
        const int r = qMin(k, n - p);
        QVector<double> &y = m_segments[s].y;
        y.remove(p, r);
        k -= r;
        if (y.isEmpty()) {
            m_segments.remove(s);  // the next segment moves into place
            p = 0;
        } else {
            p -= y.size();
            ++s;
        }
    }
}

ClotCurve ClotCurve::toType(PointType type) const
{
    if (type == m_type || type != OpticalDensity || m_type != RawSignal)
        return *this;  // the same type, or no conversion exists

    ClotCurve c = simplified();
    c.m_type = OpticalDensity;
    if (c.m_segments.isEmpty())
        return c;

    // The baseline is the mean signal over one x unit starting at x = 3.0 (or
    // at the start of the recording if that is later); only the first segment
    // is converted.
    Segment &s = c.m_segments[0];
    const int size = s.y.size();
    int skip = 0;
    int n = 0;
    // A dx that is not a positive finite number (or an x0 that is not finite),
    // as a damaged stored curve can hold, places no window at all.
    if (s.dx > 0.0 && qIsFinite(s.dx) && qIsFinite(s.x0)) {
        const double t0 = 3.0 > s.x0 ? 3.0 : s.x0;
        skip = roundedCount((t0 - s.x0) / s.dx, size);
        const int w = qMax(roundedCount(1.0 / s.dx, size), 1);  // points in one x unit
        n = qMin(w, size - skip);
    }
    if (n <= 0) {
        s.y.fill(0.0);
        return c;
    }

    const double *in = s.y.constData();
    double sum = 0.0;
    for (int i = skip; i < skip + n; ++i)
        sum += in[i];
    const double base = sum / n;
    const int z = skip + n / 2;

    double *v = s.y.data();
    const double floor = std::numeric_limits<double>::epsilon();
    for (int i = 0; i < z; ++i)
        v[i] = 0.0;
    for (int i = z; i < size; ++i) {
        const double d = v[i] >= floor ? v[i] : floor;
        const double od = std::log10(base / d);
        v[i] = od > 5.0 ? 5.0 : od;
    }
    return c;
}

QByteArray ClotCurve::toBuffer() const
{
    qint64 bytes = curveHeaderSize;
    for (const Segment &s : m_segments)
        bytes += segmentHeaderSize + qint64(valueSize) * s.y.size();

    QByteArray buffer;
    if (bytes <= std::numeric_limits<int>::max())
        buffer.reserve(int(bytes));
    QDataStream out(&buffer, QIODevice::WriteOnly);
    pinFormat(out);
    out << qint32(m_type) << quint32(m_segments.size());

    // Values go out in blocks, byte-swapped in a small buffer.
    enum { Block = 512 };
    quint64 block[Block];
    for (const Segment &s : m_segments) {
        out << s.x0 << s.dx << quint32(s.y.size());
        const double *y = s.y.constData();
        for (int i = 0; i < s.y.size(); i += Block) {
            const int m = qMin(int(Block), s.y.size() - i);
            qToBigEndian<quint64>(y + i, m, block);
            out.writeRawData(reinterpret_cast<const char *>(block), m * valueSize);
        }
    }
    return buffer;
}

ClotCurve ClotCurve::fromBuffer(const QByteArray &buffer, bool *ok)
{
    ClotCurve curve;
    QDataStream in(buffer);
    pinFormat(in);

    qint32 type = 0;
    quint32 segmentCount = 0;
    in >> type >> segmentCount;
    curve.m_type = PointType(type);  // short of 4 bytes, the stream gives 0

    // Every count is checked against the bytes left before anything is
    // allocated for it: a damaged count cannot exhaust memory.
    qint64 left = qMax(0, buffer.size() - curveHeaderSize);
    bool whole = in.status() == QDataStream::Ok;
    int wholeSegments = 0;
    curve.m_segments.reserve(int(qMin<qint64>(segmentCount, left / segmentHeaderSize)));
    for (quint32 i = 0; whole && i < segmentCount; ++i) {
        if (left < segmentHeaderSize) {
            whole = false;
            break;
        }
        Segment s;
        quint32 pointCount = 0;
        in >> s.x0 >> s.dx >> pointCount;
        left -= segmentHeaderSize;

        const qint64 readable = qMin<qint64>(pointCount, left / valueSize);
        if (readable < pointCount)
            whole = false;
        s.y.resize(int(readable));
        char *raw = reinterpret_cast<char *>(s.y.data());
        in.readRawData(raw, int(readable) * valueSize);
        qFromBigEndian<quint64>(raw, readable, raw);
        left -= readable * valueSize;
        curve.m_segments.append(s);
        if (whole)
            ++wholeSegments;
    }

    if (!whole && !buffer.isEmpty())
        qCWarning(qvResults, "(ClotCurve::fromBuffer) Damaged curve of %d bytes: %d of %u segments read whole",
                  int(buffer.size()), wholeSegments, segmentCount);
    else if (left > 0)
        qCWarning(qvResults, "(ClotCurve::fromBuffer) Ignored %lld bytes after the curve", left);
    if (ok)
        *ok = whole && left == 0;
    return curve;
}

bool ClotCurve::save(qint64 patientId, const QString &item, int version) const
{
    if (m_segments.isEmpty())
        return true;
    QSqlQuery query(Profile::instance().dataDatabase());
    if (!query.prepare(QStringLiteral("insert into curve (patientId, item, version, curve) "
                                      "values(:patientId, :item, :version, :curve)")))
        QV_SQL_WARNING(qvResults, query.lastError());
    // A qint64 binds as an SQLite integer and a QByteArray as a blob.
    query.bindValue(QStringLiteral(":patientId"), patientId);
    query.bindValue(QStringLiteral(":item"), item);
    query.bindValue(QStringLiteral(":version"), version);
    query.bindValue(QStringLiteral(":curve"), toBuffer());
    if (!query.exec()) {
        QV_SQL_WARNING(qvResults, query.lastError());
        return false;
    }
    return true;
}
