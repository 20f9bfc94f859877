#include "curveplot.h"

#include <QPainter>
#include <QPainterPath>
#include <QTextLayout>

#include <algorithm>
#include <cmath>

namespace {

const QColor LineColour(0, 90, 200);
const QColor MarkColour(200, 40, 0);
const QColor GridColour(220, 220, 220);

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

// The smallest step of 1, 2 or 5 times a power of ten that is at least least.
double niceStepAtLeast(double least)
{
    if (!(least > 0) || !std::isfinite(least))
        return 1.0;
    const double power = std::pow(10.0, std::floor(std::log10(least)));
    for (const double f : {1.0, 2.0, 5.0}) {
        if (f * power >= least * (1 - 1e-9))
            return f * power;
    }
    return 10 * power;
}

// The ticks of one axis: every step from the first multiple of it at or above low, each
// written with the decimals the step needs (0.05 as two, 50 as none).
struct Ticks {
    double low = 0, high = 1, step = 1;
    int decimals = 0;

    QVector<double> values() const
    {
        QVector<double> v;
        for (double t = std::ceil(low / step) * step; t <= high + step * 1e-9 && v.size() < 1000; t += step)
            v.append(std::abs(t) < step * 1e-9 ? 0.0 : t);
        return v;
    }
    QString text(double value) const { return QString::number(value, 'f', decimals); }
};

// Ticks over low..high on an axis of length pixels, as many as leave room between their
// labels: extent gives a label's size along the axis, gap the room wanted between two.
template <typename Extent>
Ticks fittedTicks(double low, double high, double length, double gap, int most, Extent extent)
{
    Ticks t;
    t.low = low;
    t.high = high;
    t.step = niceStepAtLeast((high - low) / std::max(1, most));
    for (int round = 0; round < 60; ++round) {
        t.decimals = std::max(0, int(std::ceil(-std::log10(t.step) - 1e-9)));
        double widest = 0;
        for (const double v : t.values())
            widest = std::max(widest, extent(t.text(v)));
        if (widest + gap <= length * t.step / (high - low))
            break;
        t.step = niceStepAtLeast(t.step * 1.01);
    }
    return t;
}

// A font of the given pixel size, made smaller until text fits width, by a quarter at
// most and never below 8 px: text still too wide is then wrapped, never cut.
QFont fitted(QFont font, int pixels, const QString &text, double width)
{
    const int least = std::max(8, pixels * 3 / 4);
    font.setPixelSize(std::max(least, pixels));
    while (font.pixelSize() > least && QFontMetricsF(font).horizontalAdvance(text) > width)
        font.setPixelSize(font.pixelSize() - 1);
    return font;
}

// Text in a box of a given width, wrapped at spaces, or within a word longer than a line.
struct WrappedText {
    WrappedText(const QFont &font, const QString &text, Qt::Alignment alignment, double left, double top, double width)
        : font(font), text(text)
    {
        option.setAlignment(alignment);
        option.setWrapMode(QTextOption::WrapAtWordBoundaryOrAnywhere);
        QTextLayout layout(text, font);
        layout.setTextOption(option);
        double height = 0;
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            height += line.height();
        }
        layout.endLayout();
        box = QRectF(left, top, width, height);
    }
    void draw(QPainter &p) const
    {
        p.setFont(font);
        p.drawText(box, text, option);
    }
    QFont font;
    QString text;
    QTextOption option;
    QRectF box;
};

// The sizes every part of the picture takes from the picture's own: text, gaps, lines.
struct Scale {
    explicit Scale(int width, int height)
    {
        // About 55 characters across and 36 lines down at most: text grows with the picture
        // and stays readable in the smallest.
        unit = std::max(10.0, std::min({width / 55.0, height / 36.0, 56.0}));
        text.setPixelSize(int(std::lround(unit)));
        gap = unit * 0.4;
        tick = unit * 0.4;
        line = std::max(1.0, unit / 8);
    }
    double unit;
    QFont text;
    double gap;
    double tick;
    double line;
};

// One panel: its heading (what is plotted, with its unit) above the plot, y values on
// the left, time under it; the x-axis title only where asked. Laid out first, so that
// the panels can share the left edge of their plots, then drawn.
class Panel
{
public:
    Panel(const Scale &scale, const QRectF &area, const Series &s, bool withXLabel)
        : m_scale(scale), m_fm(scale.text), m_area(area), m_series(s), m_withXLabel(withXLabel)
    {
        m_margin = scale.unit * 0.6;
        m_heading = WrappedText(fitted(scale.text, scale.text.pixelSize(), s.label, area.width() - 2 * m_margin),
                                s.label, Qt::AlignLeft, area.left() + m_margin, area.top(), area.width() - 2 * m_margin);
        m_top = m_heading.box.bottom() + scale.gap;
        const double bottom = area.bottom() - scale.tick - scale.gap - m_fm.height()
                              - (withXLabel ? m_fm.height() + scale.gap : 0.0);
        m_height = std::max(1.0, bottom - m_top);
        if (s.points.isEmpty())
            return;
        m_x0 = m_x1 = s.points.first().x();
        m_y0 = m_y1 = s.points.first().y();
        for (const QPointF &pt : s.points) {
            m_x0 = std::min(m_x0, pt.x()); m_x1 = std::max(m_x1, pt.x());
            m_y0 = std::min(m_y0, pt.y()); m_y1 = std::max(m_y1, pt.y());
        }
        if (m_x1 - m_x0 <= 0) { m_x0 -= 0.5; m_x1 += 0.5; }
        if (m_y1 - m_y0 <= 0) { m_y0 -= 0.5; m_y1 += 0.5; }
        const double pad = (m_y1 - m_y0) * 0.05;
        m_y0 -= pad; m_y1 += pad;
        // Values up the side: a line of text and more between two.
        const QFontMetricsF &fm = m_fm;
        m_yTicks = fittedTicks(m_y0, m_y1, m_height, fm.height() * 0.8, 8,
                               [&fm](const QString &) { return fm.height(); });
        for (const double v : m_yTicks.values())
            m_valueWidth = std::max(m_valueWidth, fm.horizontalAdvance(m_yTicks.text(v)));
    }

    // Where the plot may start: right of the y values, with the margin, gap and tick.
    double leftNeeded() const { return m_area.left() + m_margin + m_valueWidth + m_scale.gap + m_scale.tick; }

    void draw(QPainter &p, double left, const QString &xLabel, double clottingTime, bool withMarkText) const
    {
        const QFontMetricsF &fm = m_fm;
        p.setPen(Qt::black);
        m_heading.draw(p);
        p.setFont(m_scale.text);
        const QPen grid(GridColour, m_scale.line);
        const QPen axis(Qt::black, m_scale.line);

        // Half the last time label may stand out on the right.
        const double right = m_area.right() - m_margin - fm.horizontalAdvance(QString::number(m_x1, 'f', 1)) / 2;
        const QRectF plot(left, m_top, std::max(1.0, right - left), m_height);
        if (m_series.points.isEmpty()) {
            p.setPen(axis);
            p.drawRect(plot);
            p.drawText(plot, Qt::AlignCenter, QStringLiteral("no values"));
            return;
        }
        const Ticks xTicks = fittedTicks(m_x0, m_x1, plot.width(), fm.horizontalAdvance(QStringLiteral("00")), 12,
                                         [&fm](const QString &t) { return fm.horizontalAdvance(t); });
        auto map = [&](const QPointF &pt) {
            return QPointF(plot.left() + (pt.x() - m_x0) / (m_x1 - m_x0) * plot.width(),
                           plot.bottom() - (pt.y() - m_y0) / (m_y1 - m_y0) * plot.height());
        };

        for (const double x : xTicks.values()) {
            const double px = map(QPointF(x, m_y0)).x();
            p.setPen(grid);
            p.drawLine(QPointF(px, plot.top()), QPointF(px, plot.bottom()));
            p.setPen(axis);
            p.drawLine(QPointF(px, plot.bottom()), QPointF(px, plot.bottom() + m_scale.tick));
            const QString t = xTicks.text(x);
            const double w = fm.horizontalAdvance(t);
            const double at = std::max(m_area.left(), std::min(px - w / 2, m_area.right() - w));
            p.drawText(QPointF(at, plot.bottom() + m_scale.tick + m_scale.gap / 2 + fm.ascent()), t);
        }
        for (const double y : m_yTicks.values()) {
            const double py = map(QPointF(m_x0, y)).y();
            p.setPen(grid);
            p.drawLine(QPointF(plot.left(), py), QPointF(plot.right(), py));
            p.setPen(axis);
            p.drawLine(QPointF(plot.left() - m_scale.tick, py), QPointF(plot.left(), py));
            const QString t = m_yTicks.text(y);
            p.drawText(QPointF(plot.left() - m_scale.tick - m_scale.gap / 2 - fm.horizontalAdvance(t),
                               py - fm.height() / 2 + fm.ascent()), t);
        }
        p.setPen(axis);
        p.drawRect(plot);
        if (m_withXLabel) {
            p.drawText(QRectF(plot.left(), plot.bottom() + m_scale.tick + m_scale.gap + fm.height(), plot.width(),
                              fm.height()),
                       Qt::AlignHCenter, xLabel);
        }

        // The clotting time: a dashed line where it falls, named at the top of the plot
        // on the side with room; one outside the recording is named at the edge it lies past.
        if (std::isfinite(clottingTime)) {
            const bool inside = clottingTime >= m_x0 && clottingTime <= m_x1;
            const double px = inside ? map(QPointF(clottingTime, m_y0)).x()
                                     : (clottingTime < m_x0 ? plot.left() : plot.right());
            if (inside) {
                p.setPen(QPen(MarkColour, m_scale.line * 1.5, Qt::DashLine));
                p.drawLine(QPointF(px, plot.top()), QPointF(px, plot.bottom()));
            }
            if (withMarkText) {
                QString text = QStringLiteral("clotting time %1 s").arg(clottingTime, 0, 'f', 1);
                if (!inside)
                    text = clottingTime < m_x0 ? QStringLiteral("\u2190 %1, before the recording").arg(text)
                                               : QStringLiteral("%1, after the recording \u2192").arg(text);
                const double w = fm.horizontalAdvance(text);
                const double at = px + m_scale.gap + w <= plot.right() ? px + m_scale.gap
                                                                       : std::max(plot.left(), px - m_scale.gap - w);
                const QRectF box(at, plot.top() + m_scale.gap / 2, w, fm.height());
                p.fillRect(box.adjusted(-2, 0, 2, 0), QColor(255, 255, 255, 220));
                p.setPen(MarkColour);
                p.drawText(box, Qt::AlignLeft | Qt::AlignVCenter, text);
            }
        }

        QPainterPath path(map(m_series.points.first()));
        for (int i = 1; i < m_series.points.size(); ++i)
            path.lineTo(map(m_series.points.at(i)));
        p.setClipRect(plot);
        p.setPen(QPen(LineColour, std::max(1.5, m_scale.line * 1.5)));
        p.drawPath(path);
        p.setClipping(false);
    }

private:
    const Scale &m_scale;
    const QFontMetricsF m_fm;
    const QRectF m_area;
    const Series &m_series;
    const bool m_withXLabel;
    double m_margin = 0;
    WrappedText m_heading{QFont(), QString(), Qt::AlignLeft, 0, 0, 1};
    double m_top = 0, m_height = 1;
    double m_x0 = 0, m_x1 = 1, m_y0 = 0, m_y1 = 1;
    Ticks m_yTicks;
    double m_valueWidth = 0;
};

} // namespace

QImage plotCurve(const ClotCurve &curve, const QString &title, int width, int height, const AnalysisResult &result)
{
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(Qt::white);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    const Scale scale(width, height);

    // The title a little larger than the rest, made smaller where it would not fit.
    const double margin = scale.unit * 0.6;
    const WrappedText titleText(fitted(scale.text, int(std::lround(scale.unit * 1.2)), title, width - 2 * margin),
                                title, Qt::AlignHCenter, margin, scale.gap / 2, width - 2 * margin);
    const double titleHeight = titleText.box.bottom() + scale.gap;
    p.setPen(Qt::black);
    titleText.draw(p);

    // A result with a usable number is a clotting time in seconds on this curve's time axis.
    const double clottingTime = result.isValidNumber() ? result.value() : qQNaN();
    const bool raw = curve.type() == ClotCurve::RawSignal;
    // x is the recording's time in seconds; the raw signal is the detector's
    // reading in ADC counts, and optical density has no unit.
    const QString rawLabel = QStringLiteral("raw signal (ADC counts)"), timeLabel = QStringLiteral("time (s)");
    const Series rawSeries = raw ? series(curve, rawLabel) : Series{{}, rawLabel};
    const Series odSeries = series(curve.toType(ClotCurve::OpticalDensity), QStringLiteral("optical density"));
    // Both panels show the same time; its title goes under the lower one only, which is
    // the taller by that line.
    const double lower = QFontMetricsF(scale.text).height() + scale.gap;
    const double panel = (height - titleHeight - lower) / 2.0;
    const Panel upper(scale, QRectF(0, titleHeight, width, panel), rawSeries, false);
    const Panel bottom(scale, QRectF(0, titleHeight + panel, width, panel + lower), odSeries, true);
    // One left edge for both plots, so that their time axes line up.
    const double left = std::max(upper.leftNeeded(), bottom.leftNeeded());
    upper.draw(p, left, timeLabel, clottingTime, true);
    bottom.draw(p, left, timeLabel, clottingTime, rawSeries.points.isEmpty());
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
