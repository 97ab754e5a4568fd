// A PDF transformation matrix [a b c d e f], as cm and /Matrix give it.
#pragma once

namespace batch {

struct Matrix
{
    double a = 1, b = 0, c = 0, d = 1, e = 0, f = 0;

    // This transformation followed by `then`, as PDF's cm composes them.
    Matrix followedBy(const Matrix& then) const
    {
        return {a * then.a + b * then.c,          a * then.b + b * then.d,
                c * then.a + d * then.c,          c * then.b + d * then.d,
                e * then.a + f * then.c + then.e, e * then.b + f * then.d + then.f};
    }
};

} // namespace batch
