// Numeric library: inversion checked as A * inverse = I, the pivot threshold, products
// and reflections against hand-derived values, and PCA against the eigen-equation.
#include "numeric/numeric.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>
#include <random>
#include <vector>

namespace {

struct MatDeleter {
    void operator()(DMatrix* m) const { matFree(m); }
};
struct VecDeleter {
    void operator()(DVector* v) const { vecFree(v); }
};
using MatPtr = std::unique_ptr<DMatrix, MatDeleter>;
using VecPtr = std::unique_ptr<DVector, VecDeleter>;

MatPtr makeMat(int rows, int cols, const std::vector<double>& values = {})
{
    MatPtr m(matAlloc(rows, cols));
    for (int i = 0; i < rows * cols; i++) {
        m->data[i] = values.empty() ? 0.0 : values[static_cast<size_t>(i)];
    }
    return m;
}

VecPtr makeVec(int len, double fill = 0.0)
{
    VecPtr v(vecAlloc(len));
    for (int i = 0; i < len; i++) v->data[i] = fill;
    return v;
}

double at(const DMatrix* m, int r, int c)
{
    return m->data[r * m->cols + c];
}

// Largest |(a * b)(i, j) - I(i, j)|.
double identityError(const DMatrix* a, const DMatrix* b)
{
    MatPtr p = makeMat(a->rows, b->cols);
    EXPECT_EQ(matMul(p.get(), a, b), 0);
    double err = 0.0;
    for (int i = 0; i < p->rows; i++) {
        for (int j = 0; j < p->cols; j++) {
            err = std::fmax(err, std::fabs(at(p.get(), i, j) - (i == j ? 1.0 : 0.0)));
        }
    }
    return err;
}

// Random matrix made well conditioned by a dominant diagonal of random sign.
MatPtr randomWellConditioned(std::mt19937& rng, int n)
{
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    MatPtr m = makeMat(n, n);
    for (int i = 0; i < n; i++) {
        for (int j = 0; j < n; j++) m->data[i * n + j] = u(rng);
        m->data[i * n + i] += (u(rng) < 0 ? -1.0 : 1.0) * (n + 1.0);
    }
    return m;
}

// A random permutation matrix times a well-conditioned matrix: the largest entry of
// each column sits off the diagonal, so nearly every step exchanges rows.
MatPtr randomPermuted(std::mt19937& rng, int n)
{
    MatPtr base = randomWellConditioned(rng, n);
    std::vector<int> perm(static_cast<size_t>(n));
    for (int i = 0; i < n; i++) perm[static_cast<size_t>(i)] = i;
    std::shuffle(perm.begin(), perm.end(), rng);
    MatPtr m = makeMat(n, n);
    for (int i = 0; i < n; i++) {
        for (int j = 0; j < n; j++) {
            m->data[perm[static_cast<size_t>(i)] * n + j] = base->data[i * n + j];
        }
    }
    return m;
}

// ---- Inversion ----------------------------------------------------------------------

TEST(MatInverse, RandomWellConditionedSizes1To8)
{
    std::mt19937 rng(12345);
    for (int n = 1; n <= 8; n++) {
        for (int trial = 0; trial < 20; trial++) {
            MatPtr a = randomWellConditioned(rng, n);
            MatPtr inv(matAllocDup(a.get()));
            ASSERT_EQ(matSelfInverse(inv.get()), 0) << "n=" << n << " trial=" << trial;
            EXPECT_LT(identityError(a.get(), inv.get()), 1e-12) << "n=" << n << " trial=" << trial;
            EXPECT_LT(identityError(inv.get(), a.get()), 1e-12) << "n=" << n << " trial=" << trial;
        }
    }
}

TEST(MatInverse, PermutationHeavy)
{
    std::mt19937 rng(777);
    for (int n = 2; n <= 8; n++) {
        for (int trial = 0; trial < 20; trial++) {
            MatPtr a = randomPermuted(rng, n);
            MatPtr inv(matAllocDup(a.get()));
            ASSERT_EQ(matSelfInverse(inv.get()), 0) << "n=" << n << " trial=" << trial;
            EXPECT_LT(identityError(a.get(), inv.get()), 1e-12) << "n=" << n << " trial=" << trial;
        }
    }
    // Pure anti-diagonal (reversal) matrices are their own inverse, exactly.
    for (int n = 2; n <= 8; n++) {
        MatPtr a = makeMat(n, n);
        for (int i = 0; i < n; i++) a->data[i * n + (n - 1 - i)] = 1.0;
        MatPtr inv(matAllocDup(a.get()));
        ASSERT_EQ(matSelfInverse(inv.get()), 0);
        for (int i = 0; i < n * n; i++)
            EXPECT_EQ(inv->data[i], a->data[i]) << "n=" << n << " i=" << i;
    }
}

TEST(MatInverse, SwapMatrixIsItsOwnInverse)
{
    MatPtr a = makeMat(2, 2, {0, 1, 1, 0});
    ASSERT_EQ(matSelfInverse(a.get()), 0);
    EXPECT_EQ(a->data[0], 0.0);
    EXPECT_EQ(a->data[1], 1.0);
    EXPECT_EQ(a->data[2], 1.0);
    EXPECT_EQ(a->data[3], 0.0);
}

TEST(MatInverse, HandDerived2x2And3x3)
{
    // [[4, 7], [2, 6]]^-1 = [[0.6, -0.7], [-0.2, 0.4]].
    MatPtr a = makeMat(2, 2, {4, 7, 2, 6});
    ASSERT_EQ(matSelfInverse(a.get()), 0);
    const double want[] = {0.6, -0.7, -0.2, 0.4};
    for (int i = 0; i < 4; i++) EXPECT_NEAR(a->data[i], want[i], 1e-15) << "i=" << i;

    // Upper triangular with unit diagonal: the inverse is exact in binary.
    MatPtr b = makeMat(3, 3, {1, 2, 3, 0, 1, 4, 0, 0, 1});
    ASSERT_EQ(matSelfInverse(b.get()), 0);
    const double wantB[] = {1, -2, 5, 0, 1, -4, 0, 0, 1};
    for (int i = 0; i < 9; i++) EXPECT_NEAR(b->data[i], wantB[i], 1e-15) << "i=" << i;
}

TEST(MatInverse, PivotThresholdPair)
{
    // The tiny pivot first and last: exactly 1e-10 fails, 1.0000001e-10 goes on.
    for (int where = 0; where < 2; where++) {
        MatPtr fail = makeMat(2, 2);
        fail->data[where * 3] = 1e-10;
        fail->data[(1 - where) * 3] = 1.0;
        EXPECT_EQ(matSelfInverse(fail.get()), -1) << "tiny pivot at " << where;

        MatPtr pass = makeMat(2, 2);
        pass->data[where * 3] = 1.0000001e-10;
        pass->data[(1 - where) * 3] = 1.0;
        ASSERT_EQ(matSelfInverse(pass.get()), 0) << "tiny pivot at " << where;
        EXPECT_EQ(pass->data[where * 3], 1.0 / 1.0000001e-10);
        EXPECT_EQ(pass->data[(1 - where) * 3], 1.0);
    }
    // A negative pivot counts by its magnitude.
    MatPtr neg = makeMat(2, 2, {1.0, 0.0, 0.0, -1e-10});
    EXPECT_EQ(matSelfInverse(neg.get()), -1);
    // A singular matrix whose second pivot cancels to zero.
    MatPtr singular = makeMat(3, 3, {1, 2, 3, 2, 4, 6, 1, 0, 1});
    EXPECT_EQ(matSelfInverse(singular.get()), -1);
}

TEST(MatInverse, DimensionLimits)
{
    MatPtr zero1 = makeMat(1, 1, {0.0});
    EXPECT_EQ(matSelfInverse(zero1.get()), 0);  // 1x1 is not tested for singularity
    EXPECT_TRUE(std::isinf(zero1->data[0]));

    double dummy = 1.0;
    EXPECT_EQ(matInvertArray(0, &dummy, 0), nullptr);
    EXPECT_EQ(dummy, 1.0);

    // The permutation table holds kMatInvertMax rows: that size works, one more is refused.
    std::mt19937 rng(5);
    MatPtr big = randomWellConditioned(rng, kMatInvertMax);
    MatPtr inv(matAllocDup(big.get()));
    ASSERT_EQ(matSelfInverse(inv.get()), 0);
    EXPECT_LT(identityError(big.get(), inv.get()), 1e-12);
    MatPtr tooBig = randomWellConditioned(rng, kMatInvertMax + 1);
    EXPECT_EQ(matSelfInverse(tooBig.get()), -1);
}

TEST(MatInverse, StrideLeavesOtherColumnsAlone)
{
    // A 3x3 block inside rows of 5: the two extra columns must survive.
    double data[15] = {2, 1, 0, 91, 92, 1, 3, 1, 93, 94, 0, 1, 4, 95, 96};
    MatPtr a = makeMat(3, 3, {2, 1, 0, 1, 3, 1, 0, 1, 4});
    ASSERT_EQ(matInvertArray(3, data, 5), data);
    MatPtr inv = makeMat(3, 3);
    for (int i = 0; i < 3; i++) {
        for (int j = 0; j < 3; j++) inv->data[i * 3 + j] = data[i * 5 + j];
        EXPECT_EQ(data[i * 5 + 3], 91.0 + 2 * i);
        EXPECT_EQ(data[i * 5 + 4], 92.0 + 2 * i);
    }
    EXPECT_LT(identityError(a.get(), inv.get()), 1e-14);
}

// ---- Products and copies ---------------------------------------------------------------

TEST(MatMul, HandValueAndShapeMismatches)
{
    MatPtr a = makeMat(2, 3, {1, 2, 3, 4, 5, 6});
    MatPtr b = makeMat(3, 2, {7, 8, 9, 10, 11, 12});
    MatPtr c = makeMat(2, 2);
    ASSERT_EQ(matMul(c.get(), a.get(), b.get()), 0);
    const double want[] = {58, 64, 139, 154};
    for (int i = 0; i < 4; i++) EXPECT_EQ(c->data[i], want[i]) << "i=" << i;

    // Wrong inner size, wrong destination rows, wrong destination cols: -1, untouched.
    MatPtr wrong = makeMat(2, 3, {-1, -1, -1, -1, -1, -1});
    EXPECT_EQ(matMul(wrong.get(), a.get(), b.get()), -1);
    EXPECT_EQ(matMul(c.get(), a.get(), a.get()), -1);
    MatPtr tall = makeMat(3, 2, {-1, -1, -1, -1, -1, -1});
    EXPECT_EQ(matMul(tall.get(), a.get(), b.get()), -1);
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(wrong->data[i], -1.0);
        EXPECT_EQ(tall->data[i], -1.0);
    }
    for (int i = 0; i < 4; i++) EXPECT_EQ(c->data[i], want[i]);
}

TEST(MatDup, CopiesOrRefusesShape)
{
    MatPtr a = makeMat(2, 3, {1, 2, 3, 4, 5, 6});
    MatPtr copy(matAllocDup(a.get()));
    ASSERT_NE(copy, nullptr);
    EXPECT_EQ(copy->rows, 2);
    EXPECT_EQ(copy->cols, 3);
    EXPECT_NE(copy->data, a->data);
    for (int i = 0; i < 6; i++) EXPECT_EQ(copy->data[i], a->data[i]);

    MatPtr other = makeMat(3, 2, {9, 9, 9, 9, 9, 9});
    EXPECT_EQ(matDup(other.get(), a.get()), -1);
    for (int i = 0; i < 6; i++) EXPECT_EQ(other->data[i], 9.0);
}

// ---- Vectors ----------------------------------------------------------------------------

TEST(VecHouseholder, HandDerivedAndZero)
{
    double x[] = {-3.0, 4.0};
    DVector v{x, 2};
    EXPECT_EQ(vecHouseholder(&v), 5.0);
    EXPECT_NEAR(x[0], -8.0 / std::sqrt(40.0), 1e-15);
    EXPECT_NEAR(x[1], 4.0 / std::sqrt(40.0), 1e-15);

    double z[] = {0.0, 0.0, 0.0};
    DVector zv{z, 3};
    EXPECT_EQ(vecHouseholder(&zv), 0.0);
    for (double e : z) EXPECT_EQ(e, 0.0);
}

TEST(VecHouseholder, ReflectsRandomViewsOntoFirstAxis)
{
    std::mt19937 rng(99);
    std::uniform_real_distribution<double> u(-5.0, 5.0);
    for (int len = 1; len <= 7; len++) {
        // The vector is a view into the tail of a longer row, as the tridiagonalisation uses it.
        std::vector<double> row(static_cast<size_t>(len + 2), 42.0);
        std::vector<double> orig(static_cast<size_t>(len));
        for (int i = 0; i < len; i++)
            row[static_cast<size_t>(i + 2)] = orig[static_cast<size_t>(i)] = u(rng);
        DVector v{row.data() + 2, len};
        const double r = vecHouseholder(&v);
        EXPECT_EQ(row[0], 42.0);
        EXPECT_EQ(row[1], 42.0);
        EXPECT_NEAR(vecInnerProduct(&v, &v), 2.0, 1e-13) << "len=" << len;
        // (I - v v^T) orig must be (r, 0, ..., 0), and r has the opposite sign of orig[0].
        DVector o{orig.data(), len};
        const double dot = vecInnerProduct(&v, &o);
        for (int i = 0; i < len; i++) {
            const double want = (i == 0) ? r : 0.0;
            EXPECT_NEAR(orig[static_cast<size_t>(i)] - v.data[i] * dot, want, 1e-12)
                << "len=" << len << " i=" << i;
        }
        EXPECT_LT(r * orig[0], 0.0) << "len=" << len;
    }
}

TEST(VecInnerProduct, SumAndLengthMismatchIsNaNNotAnExit)
{
    double a[] = {1, 2, 3};
    double b[] = {4, -5, 6};
    DVector va{a, 3};
    DVector vb{b, 3};
    EXPECT_EQ(vecInnerProduct(&va, &vb), 12.0);
    // The caller's process goes on; the result says the call was wrong.
    DVector shorter{b, 2};
    EXPECT_TRUE(std::isnan(vecInnerProduct(&va, &shorter)));
    EXPECT_TRUE(std::isnan(vecInnerProduct(&shorter, &va)));
}

// ---- Principal component analysis ---------------------------------------------------------

struct PcaOut {
    MatPtr vectors;
    VecPtr values;
    VecPtr mean;
    int result;
};

PcaOut runPca(const DMatrix* input)
{
    const int n = std::min(input->rows, input->cols);
    PcaOut out{makeMat(n, input->cols), makeVec(n), makeVec(input->cols), 0};
    out.result = matPCA(input, out.vectors.get(), out.values.get(), out.mean.get());
    return out;
}

// The QR sweeps stop once a coupling is below 1e-6 of its diagonal neighbours, so an
// eigenvector is only that accurate: residuals of C v - lambda v of a few 1e-6 of the
// matrix scale are the algorithm's, not a fault. Gross errors are far larger.
constexpr double kEigenResidual = 1e-5;

// Checks the PCA of `pts` against the definition: the mean, C v = lambda v for the
// covariance C (divisor r), unit and orthogonal rows, decreasing values summing to 1.
void checkPcaDefinition(const DMatrix* pts, const char* what)
{
    const int r = pts->rows;
    const int c = pts->cols;
    const int n = std::min(r, c);
    PcaOut out = runPca(pts);
    ASSERT_EQ(out.result, 0) << what;

    std::vector<double> mean(static_cast<size_t>(c), 0.0);
    for (int i = 0; i < r; i++) {
        for (int j = 0; j < c; j++) mean[static_cast<size_t>(j)] += at(pts, i, j) / r;
    }
    std::vector<double> cov(static_cast<size_t>(c * c), 0.0);
    double trace = 0.0;
    for (int a = 0; a < c; a++) {
        EXPECT_NEAR(out.mean->data[a], mean[static_cast<size_t>(a)], 1e-12)
            << what << " mean " << a;
        for (int b = 0; b < c; b++) {
            double s = 0.0;
            for (int i = 0; i < r; i++) {
                s += (at(pts, i, a) - mean[static_cast<size_t>(a)]) *
                     (at(pts, i, b) - mean[static_cast<size_t>(b)]);
            }
            cov[static_cast<size_t>(a * c + b)] = s / r;
        }
        trace += cov[static_cast<size_t>(a * c + a)];
    }

    double sum = 0.0;
    for (int k = 0; k < n; k++) {
        const double lambda = out.values->data[k] * trace;  // back to covariance units
        sum += out.values->data[k];
        if (k > 0) {
            EXPECT_LE(out.values->data[k], out.values->data[k - 1]) << what << " k=" << k;
        }
        const double* v = out.vectors->data + k * c;
        double norm = 0.0;
        for (int j = 0; j < c; j++) norm += v[j] * v[j];
        if (out.values->data[k] == 0.0) {
            EXPECT_EQ(norm, 0.0) << what << " zero-eigenvalue row " << k;
            continue;
        }
        EXPECT_NEAR(norm, 1.0, 1e-8) << what << " row " << k;
        for (int a = 0; a < c; a++) {
            double cv = 0.0;
            for (int b = 0; b < c; b++) cv += cov[static_cast<size_t>(a * c + b)] * v[b];
            EXPECT_NEAR(cv, lambda * v[a], kEigenResidual * trace)
                << what << " row " << k << " comp " << a;
        }
        for (int m = 0; m < k; m++) {
            if (out.values->data[m] == 0.0) continue;
            double dot = 0.0;
            for (int j = 0; j < c; j++) dot += v[j] * out.vectors->data[m * c + j];
            EXPECT_NEAR(dot, 0.0, kEigenResidual) << what << " rows " << m << "," << k;
        }
    }
    EXPECT_NEAR(sum, 1.0, 1e-12) << what;
}

TEST(MatPCA, RandomCloudsMatchDefinition)
{
    std::mt19937 rng(2024);
    std::normal_distribution<double> g(0.0, 1.0);
    const int shapes[][2] = {{2, 2},  {3, 2}, {50, 2}, {400, 2}, {10, 3},
                             {30, 5}, {8, 8}, {2, 3},  {3, 6},   {4, 7}};
    for (const auto& shape : shapes) {
        for (int trial = 0; trial < 10; trial++) {
            const int r = shape[0];
            const int c = shape[1];
            // Anisotropic cloud: each axis its own spread, then mixed by a shear and offset.
            MatPtr pts = makeMat(r, c);
            for (int i = 0; i < r; i++) {
                for (int j = 0; j < c; j++)
                    pts->data[i * c + j] = g(rng) * (j + 1) * 3.0 + 100.0 * j;
                for (int j = 1; j < c; j++) pts->data[i * c + j] += 0.5 * pts->data[i * c + j - 1];
            }
            char what[64];
            std::snprintf(what, sizeof what, "%dx%d trial %d", r, c, trial);
            checkPcaDefinition(pts.get(), what);
        }
    }
}

TEST(MatPCA, EdgePixelsAlongALine)
{
    // Pixels of a slanted marker edge with one-pixel jitter across it: the first axis
    // is the edge direction (to 1e-5 in cosine: the repeating jitter tilts it slightly).
    const double angle = 0.3;
    const int r = 60;
    MatPtr pts = makeMat(r, 2);
    for (int i = 0; i < r; i++) {
        const double along = i * 1.5;
        const double across = (i % 3) - 1.0;
        pts->data[2 * i] = 200.0 + along * std::cos(angle) - across * std::sin(angle);
        pts->data[2 * i + 1] = 150.0 + along * std::sin(angle) + across * std::cos(angle);
    }
    PcaOut out = runPca(pts.get());
    ASSERT_EQ(out.result, 0);
    EXPECT_NEAR(
        std::fabs(out.vectors->data[0] * std::cos(angle) + out.vectors->data[1] * std::sin(angle)),
        1.0, 1e-5);
    EXPECT_GT(out.values->data[0], 0.99);
    checkPcaDefinition(pts.get(), "edge");
}

TEST(MatPCA, CollinearAndEqualSpreadCases)
{
    MatPtr line = makeMat(3, 2, {0, 0, 1, 0, 2, 0});
    PcaOut out = runPca(line.get());
    ASSERT_EQ(out.result, 0);
    EXPECT_EQ(out.mean->data[0], 1.0);
    EXPECT_EQ(out.mean->data[1], 0.0);
    EXPECT_EQ(std::fabs(out.vectors->data[0]), 1.0);
    EXPECT_EQ(out.vectors->data[1], 0.0);
    EXPECT_EQ(out.vectors->data[2], 0.0);
    EXPECT_EQ(out.vectors->data[3], 0.0);
    EXPECT_EQ(out.values->data[0], 1.0);
    EXPECT_EQ(out.values->data[1], 0.0);

    // Collinear along a diagonal: the axis is (1, 1)/sqrt(2) up to sign.
    MatPtr diag = makeMat(4, 2, {1, 1, 2, 2, 3, 3, 5, 5});
    PcaOut d = runPca(diag.get());
    ASSERT_EQ(d.result, 0);
    EXPECT_NEAR(std::fabs(d.vectors->data[0]), std::sqrt(0.5), 1e-12);
    EXPECT_NEAR(d.vectors->data[0], d.vectors->data[1], 1e-12);
    EXPECT_NEAR(d.values->data[0], 1.0, 1e-12);

    // Equal spread on both axes: equal eigenvalues keep their order, axes stay put.
    MatPtr cross = makeMat(4, 2, {1, 0, -1, 0, 0, 1, 0, -1});
    PcaOut x = runPca(cross.get());
    ASSERT_EQ(x.result, 0);
    const double want[] = {1, 0, 0, 1};
    for (int i = 0; i < 4; i++) EXPECT_EQ(x.vectors->data[i], want[i]) << "i=" << i;
    EXPECT_EQ(x.values->data[0], 0.5);
    EXPECT_EQ(x.values->data[1], 0.5);

    // Two identical points: no spread at all, zero rows, 0/0 eigenvalues, still 0.
    MatPtr same = makeMat(2, 2, {3, 4, 3, 4});
    PcaOut s = runPca(same.get());
    EXPECT_EQ(s.result, 0);
    EXPECT_TRUE(std::isnan(s.values->data[0]));
    EXPECT_TRUE(std::isnan(s.values->data[1]));
    for (int i = 0; i < 4; i++) EXPECT_EQ(s.vectors->data[i], 0.0);
}

TEST(MatPCA, FewerPointsThanDimensions)
{
    // Two points in 3-D: one axis, along their difference; the other row is zero.
    MatPtr pts = makeMat(2, 3, {1, 2, 3, 3, 2, 7});
    PcaOut out = runPca(pts.get());
    ASSERT_EQ(out.result, 0);
    EXPECT_EQ(out.vectors->rows, 2);
    EXPECT_EQ(out.vectors->cols, 3);
    const double len = std::sqrt(4.0 + 16.0);
    EXPECT_NEAR(std::fabs(out.vectors->data[0]), 2.0 / len, 1e-12);
    EXPECT_NEAR(out.vectors->data[1], 0.0, 1e-12);
    EXPECT_NEAR(out.vectors->data[0] * out.vectors->data[2], 8.0 / 20.0, 1e-12);
    EXPECT_EQ(out.values->data[0], 1.0);
    EXPECT_EQ(out.values->data[1], 0.0);
    for (int j = 0; j < 3; j++) EXPECT_EQ(out.vectors->data[3 + j], 0.0);
}

TEST(MatPCA, BadShapesLeaveOutputsUntouched)
{
    MatPtr row = makeMat(1, 3, {1, 2, 3});
    MatPtr col = makeMat(3, 1, {1, 2, 3});
    MatPtr good = makeMat(3, 2, {0, 0, 1, 1, 2, 0});
    struct Case {
        const DMatrix* input;
        int vecRows, vecCols, valLen, meanLen;
    } cases[] = {
        {row.get(), 1, 3, 1, 3},  {col.get(), 1, 1, 1, 1},  {good.get(), 3, 2, 2, 2},
        {good.get(), 2, 3, 2, 2}, {good.get(), 2, 2, 3, 2}, {good.get(), 2, 2, 2, 3},
        {good.get(), 2, 2, 1, 2},
    };
    int index = 0;
    for (const Case& k : cases) {
        MatPtr vectors = makeMat(k.vecRows, k.vecCols);
        VecPtr values = makeVec(k.valLen, 7.0);
        VecPtr mean = makeVec(k.meanLen, 7.0);
        for (int i = 0; i < k.vecRows * k.vecCols; i++) vectors->data[i] = 7.0;
        EXPECT_EQ(matPCA(k.input, vectors.get(), values.get(), mean.get()), -1) << "case " << index;
        for (int i = 0; i < k.vecRows * k.vecCols; i++)
            EXPECT_EQ(vectors->data[i], 7.0) << "case " << index;
        for (int i = 0; i < k.valLen; i++) EXPECT_EQ(values->data[i], 7.0) << "case " << index;
        for (int i = 0; i < k.meanLen; i++) EXPECT_EQ(mean->data[i], 7.0) << "case " << index;
        index++;
    }
}

TEST(MatSymEigen, RandomSymmetricMatrices)
{
    // The eigen-solver directly, on sizes where the tridiagonalisation has work to do.
    std::mt19937 rng(31);
    std::uniform_real_distribution<double> u(-10.0, 10.0);
    for (int n = 2; n <= 8; n++) {
        for (int trial = 0; trial < 10; trial++) {
            std::vector<double> sym(static_cast<size_t>(n * n));
            for (int i = 0; i < n; i++) {
                for (int j = i; j < n; j++) {
                    sym[static_cast<size_t>(i * n + j)] = sym[static_cast<size_t>(j * n + i)] =
                        u(rng);
                }
            }
            MatPtr a = makeMat(n, n, sym);
            VecPtr d = makeVec(n);
            ASSERT_EQ(matSymEigen(a.get(), d.get()), 0);
            double scale = 0.0;
            for (int k = 0; k < n; k++) scale += std::fabs(d->data[k]);
            for (int k = 0; k < n; k++) {
                if (k > 0) {
                    EXPECT_LE(d->data[k], d->data[k - 1]) << "n=" << n << " trial=" << trial;
                }
                for (int i = 0; i < n; i++) {
                    double av = 0.0;
                    for (int j = 0; j < n; j++)
                        av += sym[static_cast<size_t>(i * n + j)] * at(a.get(), k, j);
                    EXPECT_NEAR(av, d->data[k] * at(a.get(), k, i), kEigenResidual * scale)
                        << "n=" << n << " trial=" << trial << " k=" << k << " i=" << i;
                }
            }
            MatPtr transposed = makeMat(n, n);
            for (int i = 0; i < n; i++) {
                for (int j = 0; j < n; j++) transposed->data[j * n + i] = at(a.get(), i, j);
            }
            EXPECT_LT(identityError(a.get(), transposed.get()), 1e-12)
                << "eigenvectors not orthonormal, n=" << n << " trial=" << trial;
        }
    }
}

}  // namespace
