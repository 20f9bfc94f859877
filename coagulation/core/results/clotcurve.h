#ifndef CLOTCURVE_H
#define CLOTCURVE_H

#include <QtCore/QByteArray>
#include <QtCore/QMetaType>
#include <QtCore/QString>
#include <QtCore/QVector>

#include "qvcore_global.h"

// The signal recorded while a sample clotted: runs of equally spaced points
// (segments) and the kind of value they hold. Copies share the segment list
// until one of them is written.
class QVCORE_EXPORT ClotCurve
{
public:
    // Stored as an int32; a type read from a buffer is kept whatever it is.
    enum PointType : int {
        RawSignal = 0,      // the measured signal
        OpticalDensity = 1  // log10(baseline / signal), capped at 5.0
    };

    // Point k of a segment lies at x = x0 + k * dx.
    struct Segment {
        Segment() = default;
        Segment(double x0, double dx, const QVector<double> &y) : x0(x0), dx(dx), y(y) {}

        double x0 = 0.0;
        double dx = 0.0;
        QVector<double> y;
    };

    ClotCurve() = default;

    PointType type() const { return m_type; }
    void setType(PointType type) { m_type = type; }

    void append(const Segment &segment) { m_segments.append(segment); }
    void append(double x0, double dx, const QVector<double> &y) { m_segments.append(Segment(x0, dx, y)); }

    QVector<Segment> segments() const { return m_segments; }
    void setSegments(const QVector<Segment> &list) { m_segments = list; }

    // Points are numbered across segments, in order; size() counts them all.
    // A curve with only empty segments is not empty but has size 0.
    int size() const;
    bool isEmpty() const { return m_segments.isEmpty(); }

    // Position and value of point i; 0.0 for an index outside the curve.
    double x(int i) const;
    double y(int i) const;

    // Erases the existing points index .. index + count - 1 across segment
    // borders; a segment that loses all its points is dropped. A negative
    // index or count erases nothing.
    void remove(int index, int count);

    ClotCurve simplified() const { return *this; }
    ClotCurve toType(PointType type) const;

    // The stored form (the column "curve" of the data database): big-endian,
    // type (int32), segment count (uint32), then per segment x0, dx (double),
    // point count (uint32) and the values (double). 8 + sum(20 + 8 n) bytes.
    QByteArray toBuffer() const;
    // Reads the stored form. A damaged buffer gives the curve of what could be
    // read: counts larger than the bytes left are cut, never allocated for.
    // *ok, when given, tells whether the buffer was exactly one stored form.
    static ClotCurve fromBuffer(const QByteArray &buffer, bool *ok = nullptr);

    // Inserts the curve into the table "curve" of the data database. False
    // when the row could not be written (also logged as a warning line); a
    // curve without segments writes nothing and gives true.
    bool save(qint64 patientId, const QString &item, int version) const;

private:
    PointType m_type = RawSignal;
    QVector<Segment> m_segments;
};

Q_DECLARE_METATYPE(ClotCurve)

#endif // CLOTCURVE_H
