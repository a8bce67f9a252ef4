// numeric: a small dense linear-algebra kit of heap matrices and vectors of doubles.
//
// Edge fitting uses the vectors, reflections and principal component analysis
// (matPCA); pattern sampling and pose estimation use products and the in-place
// inversion of 3x3 and 8x8 systems. The kit holds no global state and prints nothing.
//
// Ownership: matAlloc/vecAlloc/matAllocDup return a record and an element block, two
// heap blocks that the caller owns and releases with matFree/vecFree. A DVector may
// also be a view (a record, usually on the stack, whose data points into storage owned
// by something else); views are accepted by vecInnerProduct and vecHouseholder and are
// never passed to vecFree.
//
// Result codes: 0 success, -1 failure; allocators return nullptr on failure.
#pragma once

// Heap matrix of doubles, row-major: element (r, c) is data[r * cols + c].
struct DMatrix {
    double* data;  // rows * cols doubles, not initialised on allocation
    int rows;
    int cols;
};

// Heap vector of doubles, or a view into storage owned by someone else.
struct DVector {
    double* data;  // len doubles
    int len;
};

// Largest dimension matInvertArray accepts: its row permutation lives in a fixed
// table of this size. Every caller in the system inverts 3x3 or 8x8 matrices.
constexpr int kMatInvertMax = 50;

// ---- Allocation ---------------------------------------------------------------

// New rows x cols matrix with uninitialised elements, or nullptr when either block
// cannot be allocated (nothing leaks). Sizes are not validated.
DMatrix* matAlloc(int rows, int cols);
// Frees the element block, then the record. Returns 0.
int matFree(DMatrix* m);
// New vector of len uninitialised elements, or nullptr (nothing leaks).
DVector* vecAlloc(int len);
// Frees the element block, then the record. Returns 0. Never pass a view.
int vecFree(DVector* v);

// Copies source into dest. 0, or -1 (dest untouched) when the shapes differ.
int matDup(DMatrix* dest, const DMatrix* source);
// New matrix of source's shape holding a copy, or nullptr (nothing leaks).
DMatrix* matAllocDup(const DMatrix* source);

// ---- Products and inversion -----------------------------------------------------

// dest = a * b. Checks a.cols == b.rows, dest.rows == a.rows, dest.cols == b.cols in
// that order; on mismatch returns -1 and leaves dest untouched. dest must not share
// storage with a or b (not tested).
int matMul(DMatrix* dest, const DMatrix* a, const DMatrix* b);

// Replaces a square matrix (rows x rows; cols is not compared) by its inverse.
// 0 on success; -1 when singular (a pivot magnitude <= 1e-10) or rows is not in
// 1..kMatInvertMax, and the contents are then partly transformed and must not be used.
int matSelfInverse(DMatrix* m);

// Compact in-place Gauss-Jordan inversion of the n x n matrix whose element (i, j) is
// data[i * stride + j], with partial pivoting by rows. Returns data on success, or
// nullptr when n is not in 1..kMatInvertMax (array untouched) or a pivot magnitude is
// <= 1e-10 (the array is then partly transformed). n = 1 takes the reciprocal without
// any test.
double* matInvertArray(int n, double* data, int stride);

// ---- Vectors ---------------------------------------------------------------------

// Sum of x[i] * y[i] from i = 0 upward; a quiet NaN when the lengths differ (a
// programming error: the NaN propagates into every result computed from it).
double vecInnerProduct(const DVector* x, const DVector* y);

// Householder reflection of x in place: afterwards x^T x = 2 and I - x x^T maps the
// input to (r, 0, ..., 0); returns that r. An all-zero x is left as it is and 0 is
// returned.
double vecHouseholder(DVector* x);

// ---- Principal component analysis ---------------------------------------------------

// Principal axes of the r points given as the rows of an r x c input (not modified),
// with n = min(r, c):
// - mean (length c) receives the mean point;
// - eigenvectors (n x c) the unit principal axes as rows, in decreasing order of
//   eigenvalue. Rows of eigenvalues below 1e-16 are zero; when r < c so are those at or
//   below 1e-10 of the largest (centred r points span at most r - 1 axes, the rest is
//   rounding noise);
// - eigenvalues (length n) the eigenvalues of the covariance (divisor r), normalised to
//   sum 1.
// Accuracy: the QR sweeps stop once a coupling is below 1e-6 of its neighbours, so axes
// are good to about 1e-6 (eigenvalues to about 1e-12) relative to the largest spread.
// Returns 0, or -1 when r < 2, c < 2, an output has the wrong shape (outputs untouched)
// or an allocation fails (outputs then meaningless and not to be used). Identical points
// give eigenvalues that are not numbers (0 / 0) and still return 0.
int matPCA(const DMatrix* input, DMatrix* eigenvectors, DVector* eigenvalues, DVector* mean);

// The stages of matPCA, exposed for testing. Each returns 0, or -1 on bad shapes or a
// failed allocation, and releases its working storage on every path.

// mean = average of the rows of X. Needs X.rows >= 1, X.cols >= 1, mean.len == X.cols.
int matColumnMean(const DMatrix* X, DVector* mean);
// Subtracts v from every row of X. Needs v.len == X.cols.
int matSubtractRow(DMatrix* X, const DVector* v);
// Eigen-analysis of centred, 1/sqrt(r)-scaled data X (r x c) into eigenvectors (n x c)
// and eigenvalues (length n), through X X^T when r < c and X^T X otherwise.
int matPCASolve(const DMatrix* X, DMatrix* eigenvectors, DVector* eigenvalues);
// M = X X^T; M must be X.rows x X.rows.
int matRowGram(const DMatrix* X, DMatrix* M);
// M = X^T X; M must be X.cols x X.cols.
int matColumnGram(const DMatrix* X, DMatrix* M);
// Eigenvalues d (decreasing) and unit eigenvectors (rows of A, replacing A) of the
// n x n symmetric A, n >= 2: Householder tridiagonalisation, then shifted QR sweeps
// (at most 100 per eigenvalue, not reported when exhausted), then a stable sort.
int matSymEigen(DMatrix* A, DVector* d);
// Householder reduction of the symmetric A (upper triangle read) to tridiagonal form:
// d (length n) the diagonal, e (length n - 1) the off-diagonal, A replaced by the
// accumulated orthogonal transformation.
int matTridiagonalize(DMatrix* A, DVector* d, DVector* e);
// Eigenvectors of X^T X (r x c rows of E) from the eigenvectors U (r x r) of X X^T and
// their eigenvalues (length r, in decreasing order); from the first eigenvalue below
// 1e-16 or at or below 1e-10 of eigenvalues[0] on, rows and eigenvalues are zero.
int matPCARowVectors(DMatrix* E, const DMatrix* X, const DMatrix* U, DVector* eigenvalues);
