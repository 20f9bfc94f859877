#include "curveplot.h"

#include <QPainter>
#include <QPainterPath>

#include <cmath>

namespace {

struct Series {
    QVector<QPointF> points;
    QString label;
};

Series series(const ClotCurve &curve, const QString &label)
{
    Series s;
    s.label = label;
    const int n = curve.size();
    s.points.reserve(n);
    for (int i = 0; i < n; ++i) {
        const double y = curve.y(i);
        if (std::isfinite(y) && std::isfinite(curve.x(i)))
            s.points.append(QPointF(curve.x(i), y));
    }
    return s;
}

// Tick step of about count intervals over span: 1, 2 or 5 times a power of ten.
double niceStep(double span, int count)
{
    if (!(span > 0))
        return 1.0;
    const double raw = span / count;
    const double power = std::pow(10.0, std::floor(std::log10(raw)));
    const double f = raw / power;
    return (f < 1.5 ? 1 : f < 3.5 ? 2 : f < 7.5 ? 5 : 10) * power;
}

void drawPanel(QPainter &p, const QRectF &area, const Series &s, const QString &xLabel)
{
    const QFontMetrics fm = p.fontMetrics();
    const QRectF plot = area.adjusted(70, 28, -20, -46);
    p.setPen(Qt::black);
    p.drawText(QRectF(area.left(), area.top() + 4, area.width(), 20), Qt::AlignHCenter, s.label);
    if (s.points.isEmpty()) {
        p.drawRect(plot);
        p.drawText(plot, Qt::AlignCenter, QStringLiteral("no values"));
        return;
    }
    double x0 = s.points.first().x(), x1 = x0, y0 = s.points.first().y(), y1 = y0;
    for (const QPointF &pt : s.points) {
        x0 = qMin(x0, pt.x()); x1 = qMax(x1, pt.x());
        y0 = qMin(y0, pt.y()); y1 = qMax(y1, pt.y());
    }
    if (x1 - x0 <= 0) { x0 -= 0.5; x1 += 0.5; }
    if (y1 - y0 <= 0) { y0 -= 0.5; y1 += 0.5; }
    const double pad = (y1 - y0) * 0.05;
    y0 -= pad; y1 += pad;
    auto map = [&](const QPointF &pt) {
        return QPointF(plot.left() + (pt.x() - x0) / (x1 - x0) * plot.width(),
                       plot.bottom() - (pt.y() - y0) / (y1 - y0) * plot.height());
    };

    // Grid, ticks and tick values.
    QPen grid(QColor(220, 220, 220));
    const double xs = niceStep(x1 - x0, 8), ys = niceStep(y1 - y0, 5);
    for (double x = std::ceil(x0 / xs) * xs; x <= x1 + xs * 1e-9; x += xs) {
        const double px = map(QPointF(x, y0)).x();
        p.setPen(grid);
        p.drawLine(QPointF(px, plot.top()), QPointF(px, plot.bottom()));
        p.setPen(Qt::black);
        p.drawLine(QPointF(px, plot.bottom()), QPointF(px, plot.bottom() + 4));
        const QString t = QString::number(x, 'g', 6);
        p.drawText(QPointF(px - fm.horizontalAdvance(t) / 2.0, plot.bottom() + 6 + fm.ascent()), t);
    }
    for (double y = std::ceil(y0 / ys) * ys; y <= y1 + ys * 1e-9; y += ys) {
        const double py = map(QPointF(x0, y)).y();
        p.setPen(grid);
        p.drawLine(QPointF(plot.left(), py), QPointF(plot.right(), py));
        p.setPen(Qt::black);
        p.drawLine(QPointF(plot.left() - 4, py), QPointF(plot.left(), py));
        const QString t = QString::number(std::abs(y) < ys * 1e-9 ? 0.0 : y, 'g', 6);
        p.drawText(QPointF(plot.left() - 6 - fm.horizontalAdvance(t), py + fm.ascent() / 2.0 - 1), t);
    }
    p.drawRect(plot);
    p.drawText(QRectF(plot.left(), plot.bottom() + 8 + fm.height(), plot.width(), fm.height()),
               Qt::AlignHCenter, xLabel);
    p.save();
    p.translate(area.left() + 4 + fm.ascent(), plot.center().y());
    p.rotate(-90);
    p.drawText(QRectF(-plot.height() / 2, -fm.ascent(), plot.height(), fm.height()), Qt::AlignHCenter, s.label);
    p.restore();

    QPainterPath path(map(s.points.first()));
    for (int i = 1; i < s.points.size(); ++i)
        path.lineTo(map(s.points.at(i)));
    p.setClipRect(plot);
    p.setPen(QPen(QColor(0, 90, 200), 1.5));
    p.drawPath(path);
    p.setClipping(false);
}

} // namespace

QImage plotCurve(const ClotCurve &curve, const QString &title, int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setPen(Qt::black);
    p.drawText(QRectF(0, 4, width, 20), Qt::AlignHCenter, title);
    const double panel = (height - 24) / 2.0;
    const bool raw = curve.type() == ClotCurve::RawSignal;
    // x is the recording's time in seconds; the raw signal is the detector's
    // reading in ADC counts, and optical density has no unit.
    const QString rawLabel = QStringLiteral("raw signal (ADC counts)"), timeLabel = QStringLiteral("time (s)");
    const Series rawSeries = raw ? series(curve, rawLabel) : Series{{}, rawLabel};
    drawPanel(p, QRectF(0, 24, width, panel), rawSeries, timeLabel);
    drawPanel(p, QRectF(0, 24 + panel, width, panel),
              series(curve.toType(ClotCurve::OpticalDensity), QStringLiteral("optical density")), timeLabel);
    return image;
}

QByteArray curveCsv(const ClotCurve &curve)
{
    const bool raw = curve.type() == ClotCurve::RawSignal;
    const ClotCurve od = curve.toType(ClotCurve::OpticalDensity);
    QByteArray csv("point,x,raw,od\n");
    const int n = curve.size();
    for (int i = 0; i < n; ++i) {
        csv += QByteArray::number(i) + ',' + QByteArray::number(curve.x(i), 'g', 12) + ',';
        if (raw)
            csv += QByteArray::number(curve.y(i), 'g', 12);
        csv += ',';
        if (od.type() == ClotCurve::OpticalDensity)
            csv += QByteArray::number(od.y(i), 'g', 12);
        csv += '\n';
    }
    return csv;
}
