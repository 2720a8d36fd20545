#pragma once

// Lines through a benchmark's readings: whether a value grows over a run, with how sure one can
// be of it, however much the single readings swing.

#include <QList>
#include <QPointF>

#include <algorithm>
#include <cmath>

namespace talvorine::bench {

inline double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    const qsizetype n = values.size();
    return n == 0 ? 0 : n % 2 ? values.at(n / 2) : (values.at(n / 2 - 1) + values.at(n / 2)) / 2;
}

// Student's t two-sided 95% quantile for `df` degrees of freedom (Cornish-Fisher expansion
// around the normal one: within 0.01 from four degrees of freedom on, 0.13 low at two).
inline double studentT95(int df)
{
    const double z = 1.959964, z3 = z * z * z, z5 = z3 * z * z, z7 = z5 * z * z, n = df;
    return z + (z3 + z) / (4 * n) + (5 * z5 + 16 * z3 + 3 * z) / (96 * n * n)
        + (3 * z7 + 19 * z5 + 17 * z3 - 15 * z) / (384 * n * n * n);
}

// A least-squares line: its slope and the half-width of the slope's 95% interval, from the
// residuals. Fewer than three points give no line.
struct Trend {
    double slope = 0;
    double margin = 0;
    int points = 0;
};

inline Trend fitTrend(const QList<QPointF>& points)
{
    Trend trend;
    trend.points = int(points.size());
    if (trend.points < 3)
        return trend;
    double mx = 0, my = 0;
    for (const QPointF& p : points) {
        mx += p.x() / trend.points;
        my += p.y() / trend.points;
    }
    double sxx = 0, sxy = 0;
    for (const QPointF& p : points) {
        sxx += (p.x() - mx) * (p.x() - mx);
        sxy += (p.x() - mx) * (p.y() - my);
    }
    if (sxx <= 0)
        return trend;
    trend.slope = sxy / sxx;
    double residuals = 0;
    for (const QPointF& p : points) {
        const double r = p.y() - my - trend.slope * (p.x() - mx);
        residuals += r * r;
    }
    const int df = trend.points - 2;
    trend.margin = studentT95(df) * std::sqrt(residuals / df / sxx);
    return trend;
}

} // namespace talvorine::bench
