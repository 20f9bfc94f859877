#ifndef CURVEPLOT_H
#define CURVEPLOT_H

#include <analysisresult.h>
#include <clotcurve.h>

#include <QImage>
#include <QString>

// Draws a curve as two stacked plots over time in seconds on a white image: the
// raw signal (ADC counts) above and the optical density below, each with labelled
// axes and tick values. A curve that is stored as optical density has no raw
// plot; that panel says so. Text is sized from the picture, ticks are thinned to
// leave room between their values, and a title too long for the width is wrapped,
// never cut. Where the curve's result holds a number (a clotting time in seconds),
// a dashed line marks it on both plots, named at the top.
QImage plotCurve(const ClotCurve &curve, const QString &title, int width, int height,
                 const AnalysisResult &result = AnalysisResult());

// The curve as CSV: one row per point with its index, x, raw value and optical
// density (an empty field where the curve has no such value).
QByteArray curveCsv(const ClotCurve &curve);

#endif // CURVEPLOT_H
