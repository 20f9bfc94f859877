#ifndef CURVEPLOT_H
#define CURVEPLOT_H

#include <clotcurve.h>

#include <QImage>
#include <QString>

// Draws a curve as two stacked plots over time in seconds on a white image: the
// raw signal (ADC counts) above and the optical density below, each with labelled
// axes and tick values. A curve that is stored as optical density has no raw
// plot; that panel says so.
QImage plotCurve(const ClotCurve &curve, const QString &title, int width, int height);

// The curve as CSV: one row per point with its index, x, raw value and optical
// density (an empty field where the curve has no such value).
QByteArray curveCsv(const ClotCurve &curve);

#endif // CURVEPLOT_H
