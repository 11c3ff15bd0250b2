// Abscissa of the vertex of the parabola through three points.
#ifndef ZORV_VERTEX_H
#define ZORV_VERTEX_H

// Evaluated in exactly this form (the factor 0.5 on the numerator before the
// division), so that peak positions and calibrated decay rates are the same
// to the last bit wherever they are computed.
inline double three_point_vertex(double x1, double y1, double x2, double y2, double x3, double y3)
{
    double num = (x3 * x3 - x2 * x2) * y1 + (x1 * x1 - x3 * x3) * y2 + (x2 * x2 - x1 * x1) * y3;
    double den = (x3 - x2) * y1 + (x1 - x3) * y2 + (x2 - x1) * y3;
    return 0.5 * num / den;
}

#endif
