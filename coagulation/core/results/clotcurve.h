#ifndef CLOTCURVE_H
#define CLOTCURVE_H

/**
 * \file clotcurve.h
 * \brief The signal recorded while a sample clotted (ClotCurve).
 */

#include <QtCore/QByteArray>
#include <QtCore/QMetaType>
#include <QtCore/QString>
#include <QtCore/QVector>

#include "qvcore_global.h"

/**
 * The signal recorded while a sample clotted: runs of equally spaced points
 * (segments) and the kind of value they hold. Copies share the segment list until one
 * of them is written. Reentrant; save() uses the settings store's data database and so
 * belongs to the main thread.
 */
class QVCORE_EXPORT ClotCurve
{
public:
    /// The kind of value the points hold. Stored as an int32; a type read from a buffer is kept whatever it is.
    enum PointType : int {
        RawSignal = 0,      ///< The measured signal, in ADC counts.
        OpticalDensity = 1  ///< log10(baseline / signal), capped at 5.0 (toType()).
    };

    /// A run of equally spaced points: point k lies at x = x0 + k * dx.
    struct Segment {
        /// An empty segment at 0 with spacing 0.
        Segment() = default;
        /// The points y, the first at x0, spaced dx apart.
        Segment(double x0, double dx, const QVector<double> &y) : x0(x0), dx(dx), y(y) {}

        double x0 = 0.0;   ///< Position of the first point, in seconds.
        double dx = 0.0;   ///< Spacing of the points, in seconds.
        QVector<double> y; ///< The values.
    };

    /// An empty curve of raw signal.
    ClotCurve() = default;

    /// The kind of value the points hold.
    PointType type() const { return m_type; }
    /// Names the kind of value the points hold; the values themselves are not converted (see toType()).
    void setType(PointType type) { m_type = type; }

    /// Adds a segment after the last one.
    void append(const Segment &segment) { m_segments.append(segment); }
    /// Adds a segment of the points y, the first at x0, spaced dx apart.
    void append(double x0, double dx, const QVector<double> &y) { m_segments.append(Segment(x0, dx, y)); }

    /// The segments, in order.
    QVector<Segment> segments() const { return m_segments; }
    /// Replaces every segment.
    void setSegments(const QVector<Segment> &list) { m_segments = list; }

    /**
     * The number of points of all segments. Points are numbered across segments, in
     * order. A curve with only empty segments is not empty but has size 0.
     */
    int size() const;
    /// Whether the curve has no segment at all.
    bool isEmpty() const { return m_segments.isEmpty(); }

    /// Position of point i; 0.0 for an index outside the curve.
    double x(int i) const;
    /// Value of point i; 0.0 for an index outside the curve.
    double y(int i) const;

    /**
     * Erases the existing points index .. index + count - 1 across segment borders; a
     * segment that loses all its points is dropped. A negative index or count erases
     * nothing, and points past the end are not there to erase.
     */
    void remove(int index, int count);

    /// The curve as it is (a copy).
    ClotCurve simplified() const { return *this; }
    /**
     * The curve converted to type. Only raw signal converts, to optical density: the
     * baseline is the mean signal over one second from x = 3 s (or from the start of the
     * recording if later), points before the middle of that window become 0, the others
     * log10(baseline / signal) capped at 5.0. Only the first segment is converted; one
     * with no point in that window (a spacing that is not a positive finite number
     * included) becomes all zeros. Any other request gives the curve unchanged.
     */
    ClotCurve toType(PointType type) const;

    /**
     * The stored form, as the column "curve" of the data database holds it: big-endian,
     * type (int32), segment count (uint32), then per segment x0, dx (IEEE-754 double),
     * point count (uint32) and the values (double). 8 + sum(20 + 8 n) bytes.
     */
    QByteArray toBuffer() const;
    /**
     * Reads the stored form. A damaged buffer gives the curve of what could be read and
     * a warning line (category qv.results): counts larger than the bytes left are cut,
     * never allocated for. *ok, when given, tells whether the buffer was exactly one
     * stored form.
     */
    static ClotCurve fromBuffer(const QByteArray &buffer, bool *ok = nullptr);

    /**
     * Inserts the curve into the table "curve" (patientId, item, version, curve) of the
     * settings store's data database. False when the row could not be written (with a
     * warning line naming the database's reason); a curve without segments writes
     * nothing and gives true. Runs the query on the calling thread, which must be the
     * main thread (see \ref threads).
     */
    bool save(qint64 patientId, const QString &item, int version) const;

private:
    PointType m_type = RawSignal;
    QVector<Segment> m_segments;
};

Q_DECLARE_METATYPE(ClotCurve)

#endif // CLOTCURVE_H
