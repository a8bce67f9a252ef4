// Heap matrices and vectors: allocation, copies, products, the compact in-place
// Gauss-Jordan inversion, inner products and Householder reflections.
#include "numeric/numeric.h"

#include <cmath>
#include <limits>
#include <cstdlib>

// ---- Allocation ---------------------------------------------------------------

DMatrix* matAlloc(int rows, int cols)
{
    DMatrix* m = static_cast<DMatrix*>(std::malloc(sizeof(DMatrix)));
    if (m == nullptr) return nullptr;
    // Sizes are not validated; a negative product is left to malloc, which refuses
    // it as a huge request.
    m->data = static_cast<double*>(
        std::malloc(static_cast<size_t>(rows) * static_cast<size_t>(cols) * sizeof(double)));
    if (m->data == nullptr) {
        std::free(m);
        return nullptr;
    }
    m->rows = rows;
    m->cols = cols;
    return m;
}

int matFree(DMatrix* m)
{
    std::free(m->data);
    std::free(m);
    return 0;
}

DVector* vecAlloc(int len)
{
    DVector* v = static_cast<DVector*>(std::malloc(sizeof(DVector)));
    if (v == nullptr) return nullptr;
    v->data = static_cast<double*>(std::malloc(static_cast<size_t>(len) * sizeof(double)));
    if (v->data == nullptr) {
        std::free(v);
        return nullptr;
    }
    v->len = len;
    return v;
}

int vecFree(DVector* v)
{
    std::free(v->data);
    std::free(v);
    return 0;
}

int matDup(DMatrix* dest, const DMatrix* source)
{
    if (dest->rows != source->rows || dest->cols != source->cols) return -1;
    const int n = source->rows * source->cols;
    for (int i = 0; i < n; i++) dest->data[i] = source->data[i];
    return 0;
}

DMatrix* matAllocDup(const DMatrix* source)
{
    DMatrix* m = matAlloc(source->rows, source->cols);
    if (m == nullptr) return nullptr;
    if (matDup(m, source) < 0) {
        matFree(m);
        return nullptr;
    }
    return m;
}

// ---- Products and inversion -----------------------------------------------------

int matMul(DMatrix* dest, const DMatrix* a, const DMatrix* b)
{
    if (a->cols != b->rows) return -1;
    if (dest->rows != a->rows) return -1;
    if (dest->cols != b->cols) return -1;
    for (int r = 0; r < dest->rows; r++) {
        for (int c = 0; c < dest->cols; c++) {
            double* out = &dest->data[r * dest->cols + c];
            *out = 0.0;
            for (int i = 0; i < a->cols; i++) {
                *out += a->data[r * a->cols + i] * b->data[i * b->cols + c];
            }
        }
    }
    return 0;
}

int matSelfInverse(DMatrix* m)
{
    return matInvertArray(m->rows, m->data, m->rows) == nullptr ? -1 : 0;
}

namespace {

// Exchanges rows a and b (n elements each) of the strided array.
void matSwapRows(double* data, int stride, int n, int a, int b)
{
    double* ra = data + a * stride;
    double* rb = data + b * stride;
    for (int j = 0; j < n; j++) {
        const double t = ra[j];
        ra[j] = rb[j];
        rb[j] = t;
    }
}

// Exchanges columns a and b over all n rows of the strided array.
void matSwapColumns(double* data, int stride, int n, int a, int b)
{
    for (int i = 0; i < n; i++) {
        double* row = data + i * stride;
        const double t = row[a];
        row[a] = row[b];
        row[b] = t;
    }
}

}  // namespace

// Compact Gauss-Jordan: the working column is always column 0 and every processed
// row is shifted one place left, so the inverse builds up in the same n x n block
// without an identity matrix beside it. The row exchanges of the pivoting are undone
// at the end as column exchanges.
double* matInvertArray(int n, double* data, int stride)
{
    // n above the permutation table is refused rather than served by a larger table:
    // no caller needs more than 8.
    if (n <= 0 || n > kMatInvertMax) return nullptr;
    if (n == 1) {
        data[0] = 1.0 / data[0];
        return data;
    }

    int perm[kMatInvertMax];
    for (int i = 0; i < n; i++) perm[i] = i;

    for (int k = 0; k < n; k++) {
        // Pivot search: strictly greater, so the first row with the largest
        // magnitude wins ties.
        double p = 0.0;
        int ip = k;
        for (int i = k; i < n; i++) {
            if (std::fabs(data[i * stride]) > p) {
                p = std::fabs(data[i * stride]);
                ip = i;
            }
        }
        if (p <= 1.0e-10) return nullptr;

        const int t = perm[ip];
        perm[ip] = perm[k];
        perm[k] = t;
        matSwapRows(data, stride, n, ip, k);

        double* rk = data + k * stride;
        const double w = rk[0];
        for (int j = 1; j < n; j++) rk[j - 1] = rk[j] * (1.0 / w);
        rk[n - 1] = 1.0 / w;

        for (int i = 0; i < n; i++) {
            if (i == k) continue;
            double* ri = data + i * stride;
            const double u = ri[0];
            for (int j = 1; j < n; j++) ri[j - 1] = ri[j] - u * rk[j - 1];
            ri[n - 1] = -u * rk[n - 1];
        }
    }

    for (int k = 0; k < n; k++) {
        int j = k;
        while (perm[j] != k) j++;  // k is still in perm[k..n-1]: always found
        perm[j] = perm[k];
        matSwapColumns(data, stride, n, j, k);
    }
    return data;
}

// ---- Vectors ---------------------------------------------------------------------

double vecInnerProduct(const DVector* x, const DVector* y)
{
    // A length mismatch is a programming error of the caller; a NaN result poisons
    // whatever it computes instead of ending the caller's process.
    if (x->len != y->len) return std::numeric_limits<double>::quiet_NaN();
    double sum = 0.0;
    for (int i = 0; i < x->len; i++) sum += x->data[i] * y->data[i];
    return sum;
}

double vecHouseholder(DVector* x)
{
    double s = std::sqrt(vecInnerProduct(x, x));
    if (s == 0.0) return -s;
    // The sign of s follows x[0] so that x[0] + s never cancels.
    if (x->data[0] < 0.0) s = -s;
    x->data[0] += s;
    const double scale = 1.0 / std::sqrt(s * x->data[0]);
    for (int i = 0; i < x->len; i++) x->data[i] *= scale;
    return -s;
}
