// Principal component analysis: centre and scale the points, form the smaller Gram
// matrix, and find its eigen-decomposition by Householder tridiagonalisation followed
// by implicit QR sweeps with Wilkinson shifts and Givens rotations.
#include "numeric/numeric.h"

#include <cmath>

namespace {

// Eigenvalues below this count as zero: their axes carry no spread.
constexpr double kMatEigenZero = 1.0e-16;
// A coupling |w[j]| at or below this fraction of |d[j-1]| + |d[j]| is negligible.
constexpr double kMatCouplingEps = 1.0e-6;
// In the X X^T path an eigenvalue at or below this fraction of the largest is rounding
// noise (centring makes r points span at most r - 1 dimensions, so the last one is
// always zero in exact arithmetic). Its row would be noise divided by the square root of
// noise, so it is zeroed like an eigenvalue below kMatEigenZero. The sweeps leave
// eigenvectors accurate to about 1e-6, so Gram eigenvalues carry errors of about 1e-12
// of the largest; 1e-10 stays clear of them.
constexpr double kMatRowVectorRelZero = 1.0e-10;
// Sweeps per eigenvalue before giving up silently and keeping the value reached.
constexpr int kMatMaxSweeps = 100;

inline double& matAt(DMatrix* m, int r, int c)
{
    return m->data[r * m->cols + c];
}
inline double matAt(const DMatrix* m, int r, int c)
{
    return m->data[r * m->cols + c];
}

// Sets rows from..rows-1 of m to zeros.
void matZeroRows(DMatrix* m, int from)
{
    for (int i = from; i < m->rows; i++) {
        for (int j = 0; j < m->cols; j++) matAt(m, i, j) = 0.0;
    }
}

bool matCouplingNegligible(const DVector* w, const DVector* d, int j)
{
    return !(std::fabs(w->data[j]) >
             kMatCouplingEps * (std::fabs(d->data[j - 1]) + std::fabs(d->data[j])));
}

// One implicit QR sweep over the unreduced block j..h of the tridiagonal (d, w),
// with the Wilkinson shift from the trailing 2x2 and the rotations applied to the
// rows of A.
void matQRSweep(DMatrix* A, DVector* dv, DVector* wv, int j, int h)
{
    double* d = dv->data;
    double* w = wv->data;
    const int n = A->cols;

    const double t = (d[h - 1] - d[h]) * 0.5;
    const double g = w[h] * w[h];
    double u = std::sqrt(t * t + g);
    if (t < 0.0) u = -u;
    double x = d[j] - d[h] + g / (t + u);
    double y = w[j + 1];

    for (int k = j; k < h; k++) {
        double c;
        double s;
        if (std::fabs(x) >= std::fabs(y)) {
            if (std::fabs(x) > kMatEigenZero) {
                const double q = (-1.0 / x) * y;
                c = 1.0 / std::sqrt(q * q + 1.0);
                s = c * q;
            } else {
                c = 1.0;
                s = 0.0;
            }
        } else {
            const double q = (-1.0 / y) * x;
            s = 1.0 / std::sqrt(q * q + 1.0);
            c = q * s;
        }

        const double p = d[k] - d[k + 1];
        const double f = (s * p + c * w[k + 1] + c * w[k + 1]) * s;
        d[k] = d[k] - f;
        d[k + 1] = d[k + 1] + f;
        if (k > j) w[k] = c * w[k] - y * s;
        w[k + 1] = w[k + 1] + s * (c * p - 2.0 * s * w[k + 1]);

        for (int i = 0; i < n; i++) {
            const double a = matAt(A, k, i);
            const double b = matAt(A, k + 1, i);
            matAt(A, k, i) = c * a - s * b;
            matAt(A, k + 1, i) = s * a + c * b;
        }

        if (k < h - 1) {
            x = w[k + 1];
            y = -s * w[k + 2];
            w[k + 2] = c * w[k + 2];
        }
    }
}

// Selection sort of d in decreasing order, carrying the rows of A along. Only a
// strictly greater value replaces the candidate, so equal eigenvalues keep their order.
void matSortEigen(DMatrix* A, DVector* dv)
{
    double* d = dv->data;
    const int n = dv->len;
    for (int k = 0; k < n - 1; k++) {
        int m = k;
        double best = d[k];
        for (int i = k + 1; i < n; i++) {
            if (d[i] > best) {
                best = d[i];
                m = i;
            }
        }
        d[m] = d[k];
        d[k] = best;
        for (int i = 0; i < A->cols; i++) {
            const double t = matAt(A, m, i);
            matAt(A, m, i) = matAt(A, k, i);
            matAt(A, k, i) = t;
        }
    }
}

}  // namespace

int matPCA(const DMatrix* input, DMatrix* eigenvectors, DVector* eigenvalues, DVector* mean)
{
    const int r = input->rows;
    const int c = input->cols;
    const int n = r < c ? r : c;
    if (r < 2 || c < 2) return -1;
    if (eigenvectors->cols != c || eigenvectors->rows != n) return -1;
    if (eigenvalues->len != n || mean->len != c) return -1;

    DMatrix* W = matAllocDup(input);
    if (W == nullptr) return -1;
    if (matColumnMean(W, mean) < 0 || matSubtractRow(W, mean) < 0) {
        matFree(W);
        return -1;
    }
    // With the 1/sqrt(r) scale, W^T W is the covariance with divisor r.
    const double scale = 1.0 / std::sqrt(static_cast<double>(r));
    for (int i = 0; i < r * c; i++) W->data[i] *= scale;

    const int result = matPCASolve(W, eigenvectors, eigenvalues);
    matFree(W);
    // After a failure the eigenvalues may never have been written; they are left as
    // they are rather than normalised, since the caller must not use them anyway.
    if (result < 0) return -1;

    double sum = 0.0;
    for (int i = 0; i < n; i++) sum += eigenvalues->data[i];
    for (int i = 0; i < n; i++) eigenvalues->data[i] *= 1.0 / sum;
    return 0;
}

int matColumnMean(const DMatrix* X, DVector* mean)
{
    if (X->rows < 1 || X->cols < 1 || mean->len != X->cols) return -1;
    for (int j = 0; j < X->cols; j++) mean->data[j] = 0.0;
    for (int i = 0; i < X->rows; i++) {
        for (int j = 0; j < X->cols; j++) mean->data[j] += matAt(X, i, j);
    }
    for (int j = 0; j < X->cols; j++) mean->data[j] *= 1.0 / X->rows;
    return 0;
}

int matSubtractRow(DMatrix* X, const DVector* v)
{
    if (v->len != X->cols) return -1;
    for (int i = 0; i < X->rows; i++) {
        for (int j = 0; j < X->cols; j++) matAt(X, i, j) -= v->data[j];
    }
    return 0;
}

int matPCASolve(const DMatrix* X, DMatrix* eigenvectors, DVector* eigenvalues)
{
    const int r = X->rows;
    const int c = X->cols;
    const int n = r < c ? r : c;
    if (r < 2 || c < 2) return -1;
    if (eigenvectors->cols != c || eigenvectors->rows != n || eigenvalues->len != n) return -1;

    DMatrix* U = matAlloc(n, n);
    if (U == nullptr) return -1;

    // The smaller of X X^T and X^T X has the same non-zero eigenvalues.
    int result = (r < c) ? matRowGram(X, U) : matColumnGram(X, U);
    if (result == 0) result = matSymEigen(U, eigenvalues);
    if (result == 0 && r >= c) {
        for (int i = 0; i < n; i++) {
            if (eigenvalues->data[i] < kMatEigenZero) {
                for (int k = i; k < n; k++) eigenvalues->data[k] = 0.0;
                matZeroRows(eigenvectors, i);
                break;
            }
            for (int j = 0; j < c; j++) matAt(eigenvectors, i, j) = matAt(U, i, j);
        }
    }
    if (result == 0 && r < c) result = matPCARowVectors(eigenvectors, X, U, eigenvalues);

    matFree(U);
    return result;
}

int matRowGram(const DMatrix* X, DMatrix* M)
{
    const int r = X->rows;
    if (M->rows != r || M->cols != r) return -1;
    for (int i = 0; i < r; i++) {
        for (int j = 0; j < r; j++) {
            if (j < i) {
                matAt(M, i, j) = matAt(M, j, i);
                continue;
            }
            double sum = 0.0;
            for (int k = 0; k < X->cols; k++) sum += matAt(X, i, k) * matAt(X, j, k);
            matAt(M, i, j) = sum;
        }
    }
    return 0;
}

int matColumnGram(const DMatrix* X, DMatrix* M)
{
    const int c = X->cols;
    if (M->rows != c || M->cols != c) return -1;
    for (int i = 0; i < c; i++) {
        for (int j = 0; j < c; j++) {
            if (j < i) {
                matAt(M, i, j) = matAt(M, j, i);
                continue;
            }
            double sum = 0.0;
            for (int k = 0; k < X->rows; k++) sum += matAt(X, k, i) * matAt(X, k, j);
            matAt(M, i, j) = sum;
        }
    }
    return 0;
}

int matPCARowVectors(DMatrix* E, const DMatrix* X, const DMatrix* U, DVector* eigenvalues)
{
    const int r = X->rows;
    const int c = X->cols;
    if (r < 1 || c < 1) return -1;
    if (U->rows != r || U->cols != r) return -1;
    if (E->rows != r || E->cols != c || eigenvalues->len != r) return -1;

    // If X X^T u = lambda u, then X^T u / sqrt(lambda) is a unit eigenvector of X^T X.
    const double noise = kMatRowVectorRelZero * eigenvalues->data[0];
    for (int i = 0; i < r; i++) {
        const double lambda = eigenvalues->data[i];
        if (lambda < kMatEigenZero || lambda <= noise) {
            for (int k = i; k < r; k++) eigenvalues->data[k] = 0.0;
            matZeroRows(E, i);
            break;
        }
        const double scale = 1.0 / std::sqrt(std::fabs(lambda));
        for (int j = 0; j < c; j++) {
            double sum = 0.0;
            for (int k = 0; k < r; k++) sum += matAt(U, i, k) * matAt(X, k, j);
            matAt(E, i, j) = sum * scale;
        }
    }
    return 0;
}

int matTridiagonalize(DMatrix* A, DVector* d, DVector* e)
{
    const int n = A->cols;
    if (A->rows != n || d->len != n || e->len != n - 1) return -1;

    for (int k = 0; k < n - 2; k++) {
        d->data[k] = matAt(A, k, k);
        DVector x{&matAt(A, k, k + 1), n - 1 - k};
        e->data[k] = vecHouseholder(&x);
        if (e->data[k] == 0.0) continue;

        // d[k+1..] = (symmetric trailing block) * x, read from the upper triangle.
        for (int i = k + 1; i < n; i++) {
            double sum = 0.0;
            for (int j = k + 1; j < i; j++) sum += matAt(A, j, i) * matAt(A, k, j);
            for (int j = i; j < n; j++) sum += matAt(A, i, j) * matAt(A, k, j);
            d->data[i] = sum;
        }
        DVector tail{&d->data[k + 1], n - 1 - k};
        const double t = vecInnerProduct(&x, &tail) * 0.5;
        // Downward order: row i's update reads d[j] for j >= i only after those
        // entries have been corrected.
        for (int i = n - 1; i > k; i--) {
            const double p = matAt(A, k, i);
            d->data[i] = d->data[i] - p * t;
            const double q = d->data[i];
            for (int j = i; j < n; j++) {
                matAt(A, i, j) = matAt(A, i, j) - (q * matAt(A, k, j) + p * d->data[j]);
            }
        }
    }
    if (n > 1) {
        d->data[n - 2] = matAt(A, n - 2, n - 2);
        e->data[n - 2] = matAt(A, n - 2, n - 1);
    }
    if (n > 0) d->data[n - 1] = matAt(A, n - 1, n - 1);

    // Accumulate the reflections (stored as the row tails) into A, last one first.
    for (int k = n - 1; k >= 0; k--) {
        if (k < n - 2) {
            DVector xk{&matAt(A, k, k + 1), n - 1 - k};
            for (int i = k + 1; i < n; i++) {
                DVector xi{&matAt(A, i, k + 1), n - 1 - k};
                const double t = vecInnerProduct(&xk, &xi);
                for (int j = k + 1; j < n; j++) matAt(A, i, j) -= t * matAt(A, k, j);
            }
        }
        for (int j = 0; j < n; j++) matAt(A, k, j) = 0.0;
        matAt(A, k, k) = 1.0;
    }
    return 0;
}

int matSymEigen(DMatrix* A, DVector* d)
{
    const int n = A->rows;
    if (A->cols != n || n < 2 || d->len != n) return -1;
    DVector* w = vecAlloc(n);
    if (w == nullptr) return -1;
    DVector off{&w->data[1], n - 1};
    if (matTridiagonalize(A, d, &off) < 0) {
        vecFree(w);
        return -1;
    }
    // w[i] (i >= 1) couples d[i-1] and d[i]; w[0] stops the block search.
    w->data[0] = 0.0;

    for (int h = n - 1; h > 0; h--) {
        int j = h;
        while (j > 0 && !matCouplingNegligible(w, d, j)) j--;
        if (j == h) continue;
        for (int sweep = 1; sweep <= kMatMaxSweeps; sweep++) {
            matQRSweep(A, d, w, j, h);
            if (matCouplingNegligible(w, d, h)) break;
        }
    }

    matSortEigen(A, d);
    vecFree(w);
    return 0;
}
