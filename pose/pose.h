// pose: the pose of a detected marker relative to the camera.
//
// Use: for each detected marker, poseGetTransformWith(camera, marker, center, width,
// transform) writes the 3x4 transformation [R | t] that maps marker coordinates to
// camera coordinates (poseGetTransform: with the current camera, camCurrentParam).
// The rest of
// this header is the machinery it runs, exposed for testing:
//   1. poseInitRotation: a first rotation from the vanishing points of the marker's
//      two pairs of opposite edge lines;
//   2. up to five attempts of poseFromCorrespondences / poseSolve, each alternating a
//      linear least-squares solve for the translation with poseRefineRotation, a
//      coarse-to-fine search over three rotation angles;
//   3. the attempts stop as soon as the mean squared image error per corner is below
//      1 squared pixel.
//
// Conventions (written once here):
// - Image coordinates in pixels, x to the right, y downwards from the top-left pixel.
//   Every image point this subsystem takes is in ideal (distortion-free) coordinates,
//   the coordinates of DetectedMarker::edgeLines and ::cornerPoints.
// - Marker coordinates: the marker lies in the plane z = 0, in the unit of the
//   configured marker width. Marker corner order c0..c3 is (-w/2, +w/2), (+w/2, +w/2),
//   (+w/2, -w/2), (-w/2, -w/2) about the marker centre: the marker's x axis runs from
//   c0 to c1, its y axis from c3 to c0. With d = DetectedMarker::direction, marker
//   corner ck is cornerPoints[(4 + k - d) mod 4].
// - Camera coordinates: x to the right, y down, z forward along the viewing axis. A
//   marker facing the camera squarely has a rotation whose third column is (0, 0, -1).
// - Matrices are row-major doubles: a rotation is 3x3 with the marker's x, y and z axes
//   as its columns; a transformation is 3x4 [R | t]; P is the 3x4 camera matrix
//   (CameraParam::projection), whose left 3x3 block is upper triangular for every
//   camera file this system ships.
// - Angles (a, b, c) in radians describe R = Rz(a) * Ry(b) * Rz(c - a), with
//   Rz(t) = [[cos t, -sin t, 0], [sin t, cos t, 0], [0, 0, 1]] and
//   Ry(t) = [[cos t, 0, sin t], [0, 1, 0], [-sin t, 0, cos t]].
//
// Result codes: 0 success, -1 failure. The fitting functions return a mean squared
// image error (squared pixels per point, >= 0) or -1. Nothing here prints.
// Reentrant: every function keeps its working storage on the stack or the heap, so
// several threads may estimate poses at once.
#pragma once

struct CameraParam;
struct DetectedMarker;

// Largest point count poseFromCorrespondences and poseSolve accept (the capacity of
// the former's stack table of centred points, 12 KiB). The system passes the 4 corners of one
// marker; the capacity leaves room for denser fits.
constexpr int kPoseMaxPoints = 500;

// ---- Main work ---------------------------------------------------------------------

// Transformation of one detected marker, from its direction, edgeLines and
// cornerPoints and the current camera parameters (camCurrentParam: projection only).
// center (cx, cy) is the position of the marker's origin in marker coordinates
// ((0, 0) puts the origin at the middle of the square); width is the side length of
// the square, in the unit of the translation. Writes transform = [R | t].
// Returns the mean squared image error of the last fit (squared pixels per corner;
// fitting stops at the first of five attempts whose error is below 1), or -1 when no
// initial rotation exists or the linear solve degenerates (corners that coincide);
// after -1, transform keeps its previous contents.
double poseGetTransform(const DetectedMarker* marker, const double center[2], double width,
                        double transform[3][4]);

// poseGetTransform with the camera given: reads camera->projection only (the marker's
// corners and lines are already ideal).
double poseGetTransformWith(const CameraParam* camera, const DetectedMarker* marker,
                            const double center[2], double width, double transform[3][4]);

// One fitting attempt: centres the count marker-plane points planePoints (x, y) on
// their bounding box, runs poseSolve on them against imagePoints (ideal pixels), and
// moves the translation back to the uncentred marker frame. rotation is refined in
// place. Returns poseSolve's error, or -1 when count is not in 1..kPoseMaxPoints or
// poseSolve fails (transform and rotation then keep their previous contents).
double poseFromCorrespondences(double rotation[3][3], const double (*imagePoints)[2],
                               const double (*planePoints)[2], int count, double transform[3][4],
                               const double P[3][4]);

// The same fit for callers that carry the camera's distortion values along: it forwards
// to the form above and ignores `distortion`, because the image points are already
// ideal (distortion-free) and the fitted projection is the undistorted one. Same
// result, same outputs, bit for bit.
inline double poseFromCorrespondences(double rotation[3][3], const double (*imagePoints)[2],
                                      const double (*planePoints)[2], int count,
                                      double transform[3][4], const double distortion[4],
                                      const double P[3][4])
{
    (void)distortion;
    return poseFromCorrespondences(rotation, imagePoints, planePoints, count, transform, P);
}

// Translation solve, rotation search, translation solve, rotation search, for count
// marker points (X, Y, Z) and their image points (ideal pixels). rotation is
// replaced by the refined one; transform = [R | t]. Returns the mean squared error of
// the second search, or -1 when count is not in 1..kPoseMaxPoints, a work matrix
// cannot be allocated or the normal equations are singular (transform and rotation
// then keep their previous contents; nothing leaks).
//
// The image points are fitted as given, in ideal coordinates: the projection fitted
// to them is the undistorted one, so points converted to observed (distorted)
// coordinates would misplace every model by several pixels under lens distortion.
double poseSolve(double rotation[3][3], const double (*imagePoints)[2],
                 const double (*markerPoints)[3], int count, double transform[3][4],
                 const double P[3][4]);

// The same solve for callers that carry the camera's distortion values along: forwards
// to the form above and ignores `distortion`, for the reason given there (the points
// are ideal, the projection undistorted). Same result, same outputs, bit for bit.
inline double poseSolve(double rotation[3][3], const double (*imagePoints)[2],
                        const double (*markerPoints)[3], int count, double transform[3][4],
                        const double distortion[4], const double P[3][4])
{
    (void)distortion;
    return poseSolve(rotation, imagePoints, markerPoints, count, transform, P);
}

// ---- Initial rotation ----------------------------------------------------------------

// First rotation of a marker from the vanishing directions of its two pairs of
// opposite edge lines (ex from the pair along the marker's x axis, ey from the pair
// along its y axis), signed against the image direction c0 -> c1 and c3 -> c0,
// orthogonalised and completed by ex x ey. Returns 0, or -1 (rotation untouched)
// when direction is not 0..3, a direction cannot be formed or signed, or the two
// are parallel.
int poseInitRotation(const DetectedMarker* marker, const double P[3][4], double rotation[3][3]);

// Unit 3D direction (camera coordinates) of the edges lying on the two image lines
// (a, b, c) with a*x + b*y + c = 0: their intersection back-projected through the
// intrinsics in P (P00, P01, P02, P11, P12). Parallel image lines give a direction
// parallel to the image plane. Returns 0, or -1 (direction untouched) when the two
// lines coincide and so define no direction.
int poseVanishingDirection(const double line1[3], const double line2[3], const double P[3][4],
                           double direction[3]);

// Signs the direction v so that a step along it from the viewing ray of image point
// p1 moves in the image towards p2 (a dot product of exactly 0 keeps v). Returns 0,
// or -1 (v untouched) when the left 3x3 block of P cannot be inverted or its work
// matrix allocated, or a projected point lies on the camera's focal plane.
int poseOrientDirection(double v[3], const double p1[2], const double p2[2], const double P[3][4]);

// Rotates the unit directions ex and ey by the same angle within the plane they span
// until they are orthogonal; both are replaced. Returns 0, or -1 (both untouched)
// when they are parallel or no orthogonal pair can be solved for.
//
// A determinant of magnitude at most 1e-10 counts as zero when choosing the free
// coordinate (and in the final test before failing): for unit orthogonal n and v an
// exactly-zero determinant comes out as rounding noise near 1e-17. A negative
// discriminant is rounding only (every pair that is already orthogonal gives one,
// where the exact value is a square) and is taken as 0 instead of failing.
int poseOrthogonalize(double ex[3], double ey[3]);

// ---- Rotation search ---------------------------------------------------------------

// Refines rotation for the fixed translation t by a 10-pass pattern search on a
// 3x3x3 grid of angle offsets around the current angles, starting with a step of
// 10 degrees that halves after every pass whose best candidate is the centre.
// Minimises the summed squared image distance between imagePoints (pixels) and the
// undistorted projections of markerPoints (X, Y, Z) through P * [R | t]; the first
// candidate in loop order wins ties. rotation is replaced (its R22 may first be
// clamped to [-1, 1]). Returns the final pass's error divided by count (1e9 / count
// when no candidate of that pass fell below 1e9; the rotation is then that of the best
// angles of an earlier pass, or of angles (0, 0, 0) if there was none), or -1 (rotation
// untouched) when count < 1.
double poseRefineRotation(double rotation[3][3], const double t[3], const double P[3][4],
                          const double (*markerPoints)[3], const double (*imagePoints)[2],
                          int count);

// Angles (a, b, c) of a rotation, b in [0, pi], a and c in (-pi, pi]. An R22 outside
// [-1, 1] (rounding) is first clamped in rotation itself. Near b = 0 (|b| < 1e-6) the
// angles are (0, 0, c) with c from (R00, R10).
//
// When R02^2 + R12^2 is at most 1e-20 (b = pi, the marker facing the camera
// squarely), a = 0 and c comes from (-R00, R10): dividing by that sum would make a and
// c rounding noise (0/0 when it is exactly 0).
void poseRotToAngles(double rotation[3][3], double* a, double* b, double* c);

// Rotation of the angles (a, b, c).
void poseAnglesToRot(double a, double b, double c, double rotation[3][3]);

// M = P * [R(a, b, c) | t], the projection used by the search.
void poseProjection(double a, double b, double c, const double t[3], const double P[3][4],
                    double M[3][4]);
