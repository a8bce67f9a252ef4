// The classic call forms of the system's functions: every one is listed below with its
// argument and result types, and the build fails when a form that should compile does
// not (or when one refused as unsafe does). Where the classic form is a wrapper next to
// the header's own form, a check runs both on real data and compares the results bit
// for bit. docs/conformance.md lists the same functions; a test reads it and fails on
// any difference in names or in what is callable.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <type_traits>
#include <vector>

#include "app/app.h"
#include "camera/camera.h"
#include "detect/detect.h"
#include "display/display.h"
#include "model/model.h"
#include "numeric/numeric.h"
#include "pattern/pattern.h"
#include "pose/pose.h"
#include "synth/synth.h"
#include "util/util.h"
#include "video/video.h"

namespace {

// ---- The registry ------------------------------------------------------------------------

// How a function's classic form relates to its declaration.
enum class Form {
    Same,     // the header's form is the classic form
    Wrapper,  // a thin overload next to it gives the classic form
    Refused,  // the classic form cannot be made safe and does not compile
};

struct Row {
    const char* name;
    Form form;
    void (*check)();  // Wrapper rows: runs both forms and compares; else nullptr
};

std::vector<Row>& registry()
{
    static std::vector<Row> rows;
    return rows;
}

bool addRow(const char* name, Form form, void (*check)())
{
    registry().push_back({name, form, check});
    return true;
}

// Whether the callable F accepts arguments of the parameter types of Signature and gives
// a result convertible to its result type.
template <typename F, typename Signature>
struct CallableAs;
template <typename F, typename R, typename... A>
struct CallableAs<F, R(A...)> : std::is_invocable_r<R, F, A...> {
};

// A generic lambda whose result type names the call `fn(args...)`: overload resolution
// (deleted forms included) decides whether it exists, and a call that does not compile
// only makes CallableAs false instead of failing the build.
#define CONFORMANCE_CALLER(fn) [](auto&&... a) -> decltype(fn(a...)) { return fn(a...); }

// One row: fn called with the classic signature `sig` compiles (Same, Wrapper) or must
// not (Refused). Wrapper rows name the check that compares both forms.
#define CONFORMANCE_ROW(fn, form, check, sig)                                                      \
    constexpr auto fn##Caller = CONFORMANCE_CALLER(fn);                                            \
    static_assert(CallableAs<decltype(fn##Caller), sig>::value == (Form::form != Form::Refused),   \
                  #fn ": classic form " #sig);                                                     \
    const bool fn##Row = addRow(#fn, Form::form, check)

#define SAME(fn, sig)           CONFORMANCE_ROW(fn, Same, nullptr, sig)
#define WRAPPER(fn, check, sig) CONFORMANCE_ROW(fn, Wrapper, check, sig)
#define REFUSED(fn, sig)        CONFORMANCE_ROW(fn, Refused, nullptr, sig)

// ---- Shared data of the checks ---------------------------------------------------------------

// Two shipped markers rendered tilted through a lens, their patterns loaded, the camera
// installed: the real input of detection and pose.
struct Scene {
    CameraParam camera{};
    SynthImage frame;
    bool ready = false;
};

const Scene& scene()
{
    static Scene s;
    if (s.ready) return s;
    static SynthImage pictures[2];
    const char* names[2] = {"arrow", "bars"};
    SynthScene scene;
    synthCameraMake(640, 480, 700.0, 2.0, &s.camera);
    camParamInit(&s.camera);
    synthSceneInit(&s.camera, &scene);
    scene.markerCount = 2;
    for (int i = 0; i < 2; i++) {
        const std::string base = std::string(TARLIM_SOURCE_DIR) + "/data/markers/" + names[i];
        if (synthPngRead((base + ".png").c_str(), &pictures[i]) != 0) return s;
        if (patternLoad((base + ".pat").c_str()) < 0) return s;
        scene.markers[i].picture = &pictures[i];
        scene.markers[i].side = 80.0;
    }
    synthPoseMake(20.0, 35.0, 10.0, -90.0, 10.0, 600.0, scene.markers[0].pose);
    synthPoseMake(-50.0, 25.0, 100.0, 110.0, -20.0, 700.0, scene.markers[1].pose);
    if (synthRender(&scene, &s.frame, nullptr) != 0) return s;
    s.ready = true;
    return s;
}

// The squares of the scene, copied out of the detector (whose list the next stage call
// may replace).
std::vector<SquareCandidate> sceneCandidates()
{
    const Scene& s = scene();
    int32_t regionCount = 0;
    int32_t *area = nullptr, *box = nullptr, *labels = nullptr;
    double* centroid = nullptr;
    const int16_t* labelImage =
        markLabel(s.frame.pixels.data(), 100, &regionCount, &area, &centroid, &box, &labels);
    if (labelImage == nullptr) return {};
    SquareCandidate* list = nullptr;
    int32_t count = 0;
    markFindSquares(labelImage, regionCount, labels, area, centroid, box, kMarkAreaMax,
                    kMarkAreaMin, kMarkSquareFactor, &list, &count);
    return std::vector<SquareCandidate>(list, list + count);
}

// The recognised markers of the scene, copied.
std::vector<DetectedMarker> sceneMarkers()
{
    const std::vector<SquareCandidate> candidates = sceneCandidates();
    DetectedMarker* list = nullptr;
    int32_t count = 0;
    markGetInfo(scene().frame.pixels.data(), candidates.data(),
                static_cast<int32_t>(candidates.size()), &list, &count);
    std::vector<DetectedMarker> markers;
    for (int32_t i = 0; i < count; i++)
        if (list[i].patternId >= 0) markers.push_back(list[i]);
    return markers;
}

// Marker corner k of a detection (marker corner order, pose.h).
const double* markerCorner(const DetectedMarker& m, int k)
{
    return m.cornerPoints[(4 + k - m.direction) % 4];
}

// A start rotation near a marker's, as poseGetTransform's first attempt would have one.
void startRotation(const DetectedMarker& m, double rotation[3][3])
{
    ASSERT_EQ(poseInitRotation(&m, scene().camera.projection, rotation), 0);
}

template <typename T>
bool sameBits(const T& x, const T& y)
{
    return std::memcmp(&x, &y, sizeof(T)) == 0;
}

// ---- Checks of the wrappers ------------------------------------------------------------------

// Both pose forms on the detected corners of both markers: the same error, rotation and
// transformation, bit for bit, and a fit that worked (error below a squared pixel).
void checkPoseSolve()
{
    const std::vector<DetectedMarker> markers = sceneMarkers();
    ASSERT_EQ(markers.size(), 2u);
    for (const DetectedMarker& m : markers) {
        const double half = 40.0;
        const double points[4][3] = {
            {-half, half, 0}, {half, half, 0}, {half, -half, 0}, {-half, -half, 0}};
        double image[4][2];
        for (int k = 0; k < 4; k++) std::memcpy(image[k], markerCorner(m, k), sizeof image[k]);
        double r1[3][3], r2[3][3];
        startRotation(m, r1);
        std::memcpy(r2, r1, sizeof r1);
        double t1[3][4] = {}, t2[3][4] = {};
        const double e1 = poseSolve(r1, image, points, 4, t1, scene().camera.projection);
        const double e2 = poseSolve(r2, image, points, 4, t2, scene().camera.distortion,
                                    scene().camera.projection);
        EXPECT_TRUE(sameBits(e1, e2)) << e1 << " vs " << e2;
        EXPECT_TRUE(sameBits(r1, r2));
        EXPECT_TRUE(sameBits(t1, t2));
        EXPECT_GE(e1, 0.0);
        EXPECT_LT(e1, 1.0) << "pattern " << m.patternId;
    }
}

// The same for the fit on marker-plane points, with the origin off the marker's middle
// so that the centring inside the fit matters.
void checkPoseFromCorrespondences()
{
    const std::vector<DetectedMarker> markers = sceneMarkers();
    ASSERT_EQ(markers.size(), 2u);
    for (const DetectedMarker& m : markers) {
        const double plane[4][2] = {{-20, 70}, {60, 70}, {60, -10}, {-20, -10}};
        double image[4][2];
        for (int k = 0; k < 4; k++) std::memcpy(image[k], markerCorner(m, k), sizeof image[k]);
        double r1[3][3], r2[3][3];
        startRotation(m, r1);
        std::memcpy(r2, r1, sizeof r1);
        double t1[3][4] = {}, t2[3][4] = {};
        const double e1 =
            poseFromCorrespondences(r1, image, plane, 4, t1, scene().camera.projection);
        const double e2 = poseFromCorrespondences(
            r2, image, plane, 4, t2, scene().camera.distortion, scene().camera.projection);
        EXPECT_TRUE(sameBits(e1, e2)) << e1 << " vs " << e2;
        EXPECT_TRUE(sameBits(r1, r2));
        EXPECT_TRUE(sameBits(t1, t2));
        EXPECT_GE(e1, 0.0);
        EXPECT_LT(e1, 1.0) << "pattern " << m.patternId;
    }
}

// Both forms of the marker-information stage on the scene's squares: the same count and
// the same markers, both shipped patterns recognised.
void checkMarkGetInfo()
{
    const std::vector<SquareCandidate> candidates = sceneCandidates();
    ASSERT_EQ(candidates.size(), 2u);
    const uint8_t* frame = scene().frame.pixels.data();
    DetectedMarker* list = nullptr;
    int32_t count = -1;
    ASSERT_EQ(markGetInfo(frame, candidates.data(), 2, &list, &count), 0);
    const std::vector<DetectedMarker> expected(list, list + count);
    int32_t inOut = 2;
    DetectedMarker* classic = markGetInfo(frame, candidates.data(), &inOut);
    ASSERT_NE(classic, nullptr);
    ASSERT_EQ(inOut, count);
    ASSERT_EQ(count, 2);
    for (int32_t i = 0; i < count; i++) {
        EXPECT_TRUE(sameBits(classic[i], expected[i])) << "marker " << i;
        EXPECT_GE(classic[i].patternId, 0) << "marker " << i;
    }
}

// Both texture path forms on the cases of each rule: directory kept, none, the rightmost
// separator of either kind, a name with ':' used whole, and a path too long.
void checkModelTexturePath()
{
    const std::string longDir(300, 'd');
    const std::string cases[][2] = {{"data/anim/run0.mqo", "skin.bmp"},
                                    {"run0.mqo", "skin.bmp"},
                                    {"data\\anim/run0.mqo", "skin.bmp"},
                                    {"data/anim\\run0.mqo", "D:\\tex\\skin.bmp"},
                                    {longDir + "/run0.mqo", "skin.bmp"}};
    const char* expected[] = {"data/anim/skin.bmp", "skin.bmp", "data\\anim/skin.bmp",
                              "D:\\tex\\skin.bmp", ""};
    int i = 0;
    for (const auto& c : cases) {
        char path[kModelPathSize];
        std::memset(path, 'x', sizeof path);
        modelTexturePath(c[0].c_str(), c[1].c_str(), path);
        const std::array<char, kModelPathSize> classic =
            modelTexturePath(c[0].c_str(), c[1].c_str());
        EXPECT_STREQ(classic.data(), path) << c[0] << " + " << c[1];
        EXPECT_STREQ(classic.data(), expected[i]) << c[0] << " + " << c[1];
        i++;
    }
}

// The short sequence load against the long one on a copy of the configuration: the
// configured markers only (the entry after them untouched), each entry filled alike.
// Sequences whose files are missing or whose count is 0 or less load without a GL
// context, and they still exercise every field the load writes.
void checkModelLoadAllSequences()
{
    const AppConfig saved = appConfig;
    const int frameCounts[kAppMaxMarkers] = {3, -2, 0, 5, 4, 1, 2, 7};
    for (int k = 0; k < kAppMaxMarkers; k++) {
        ModelSequence& s = appConfig.sequences[k];
        s = ModelSequence{};
        s.frameCount = frameCounts[k];
        s.scale = 1.5;
        std::snprintf(s.pathPrefix, sizeof s.pathPrefix, "%s/no-such-model-%d/frame",
                      TARLIM_BINARY_DIR, k);
        s.listBase = 41;
        s.loadedCount = 99;
        s.currentFrame = 6;
    }
    appConfig.markerCount = 3;
    ModelSequence expected[kAppMaxMarkers];
    std::memcpy(expected, appConfig.sequences, sizeof expected);
    modelLoadAllSequences(expected, 3);
    modelLoadAllSequences();
    for (int k = 0; k < kAppMaxMarkers; k++)
        EXPECT_TRUE(sameBits(appConfig.sequences[k], expected[k])) << "sequence " << k;
    // What the long form wrote: the loaded counts and the restarted animations.
    EXPECT_EQ(expected[0].loadedCount, 0);
    EXPECT_EQ(expected[1].loadedCount, -2);
    EXPECT_EQ(expected[2].currentFrame, 0);
    EXPECT_EQ(expected[3].currentFrame, 6);
    appConfig = saved;
}

// ---- Every function with its classic form -----------------------------------------------------
//
// Types are those a caller has at hand: tables as they decay from arrays, frames as the
// video source hands them out (non-const), records by address.

using Frame = unsigned char*;
using Matrix34 = double (*)[4];
using Matrix33 = double (*)[3];
using TexturePath = std::array<char, kModelPathSize>;
using Normal = std::array<float, 3>;

// numeric
SAME(matAlloc, DMatrix*(int, int));
SAME(matFree, int(DMatrix*));
SAME(vecAlloc, DVector*(int));
SAME(vecFree, int(DVector*));
SAME(matDup, int(DMatrix*, DMatrix*));
SAME(matAllocDup, DMatrix*(DMatrix*));
SAME(matMul, int(DMatrix*, DMatrix*, DMatrix*));
SAME(matSelfInverse, int(DMatrix*));
SAME(matInvertArray, double*(int, double*, int));
SAME(vecInnerProduct, double(DVector*, DVector*));
SAME(vecHouseholder, double(DVector*));
SAME(matPCA, int(DMatrix*, DMatrix*, DVector*, DVector*));
SAME(matColumnMean, int(DMatrix*, DVector*));
SAME(matSubtractRow, int(DMatrix*, DVector*));
SAME(matPCASolve, int(DMatrix*, DMatrix*, DVector*));
SAME(matRowGram, int(DMatrix*, DMatrix*));
SAME(matColumnGram, int(DMatrix*, DMatrix*));
SAME(matSymEigen, int(DMatrix*, DVector*));
SAME(matTridiagonalize, int(DMatrix*, DVector*, DVector*));
SAME(matPCARowVectors, int(DMatrix*, DMatrix*, DMatrix*, DVector*));

// camera
SAME(camParamLoad, int(const char*, int, CameraParam*));
SAME(camParamChangeSize, int(CameraParam*, int, int, CameraParam*));
SAME(camParamInit, int(CameraParam*));
SAME(camIdealToObserv, int(double*, double, double, double*, double*));
SAME(camObservToIdeal, int(double*, double, double, double*, double*));
SAME(camDecomposeProjection, int(Matrix34, Matrix34, Matrix34));

// detect
SAME(markLabel, int16_t*(Frame, int, int32_t*, int32_t**, double**, int32_t**, int32_t**));
SAME(markFindSquares, int(int16_t*, int32_t, int32_t*, int32_t*, double*, int32_t*, int, int,
                          double, SquareCandidate**, int32_t*));
WRAPPER(markGetInfo, checkMarkGetInfo, DetectedMarker*(Frame, SquareCandidate*, int32_t*));
SAME(markDetect, int(Frame, int, DetectedMarker**, int32_t*));

// pattern
SAME(patternLoad, int(const char*));
SAME(patternSample, int(Frame, int32_t*, int32_t*, int32_t*, uint8_t*));
SAME(patternMatch, int(uint8_t*, int32_t*, int32_t*, double*));

// pose
SAME(poseGetTransform, double(DetectedMarker*, double*, double, Matrix34));
WRAPPER(poseFromCorrespondences, checkPoseFromCorrespondences,
        double(Matrix33, double (*)[2], double (*)[2], int, Matrix34, double*, Matrix34));
WRAPPER(poseSolve, checkPoseSolve,
        double(Matrix33, double (*)[2], double (*)[3], int, Matrix34, double*, Matrix34));
SAME(poseInitRotation, int(DetectedMarker*, Matrix34, Matrix33));
SAME(poseVanishingDirection, int(double*, double*, Matrix34, double*));
SAME(poseOrientDirection, int(double*, double*, double*, Matrix34));
SAME(poseOrthogonalize, int(double*, double*));
SAME(poseRefineRotation, double(Matrix33, double*, Matrix34, double (*)[3], double (*)[2], int));
SAME(poseRotToAngles, void(Matrix33, double*, double*, double*));
SAME(poseAnglesToRot, void(double, double, double, Matrix33));
SAME(poseProjection, void(double, double, double, double*, Matrix34, Matrix34));

// model
SAME(modelLoadFile, void(FILE*, ModelFile*));
REFUSED(modelReadMaterials, void(FILE*, ModelMaterial*));
SAME(modelReadObject, void(FILE*, ModelObject*));
REFUSED(modelReadVertices, void(FILE*, ModelVertex*));
REFUSED(modelReadFaces, void(FILE*, ModelFace*));
WRAPPER(modelTexturePath, checkModelTexturePath, TexturePath(const char*, const char*));
SAME(modelLoadTexture, unsigned char*(FILE*, int*));
SAME(modelCreateTextures, void(ModelFile*, const char*));
SAME(modelCompile, void(ModelFile*, unsigned int, double));
REFUSED(modelDrawObjects, void(int, ModelObject*, ModelMaterial*));
REFUSED(modelDrawFace, void(ModelFace*, ModelVertex*, ModelMaterial*));
SAME(modelFaceNormal, Normal(ModelVertex, ModelVertex, ModelVertex));
SAME(modelLoadSequence, int(const char*, int, double, unsigned int*));
WRAPPER(modelLoadAllSequences, checkModelLoadAllSequences, void());

// display
SAME(dispInit, void(CameraParam*, double, int, int, int, int));
SAME(dispMainLoop, void(std::nullptr_t, void (*)(unsigned char, int, int), void (*)()));
SAME(dispSwapBuffers, void());
SAME(dispCleanup, void());
SAME(dispConvGLProjection, void(Matrix34, int, int, double, double, double*));
SAME(dispConvGLMatrix, void(Matrix34, double*));
SAME(dispDrawMode2D, void());
SAME(dispDrawMode3D, void());
SAME(dispDraw3DCamera, void(int, int));
SAME(dispImage, void(Frame, int, int));

// app
SAME(cfgRead, int());
SAME(cfgReadLine, char*(char*, FILE*));
SAME(cfgReadMarker, int(MarkerSlot*, FILE*));
SAME(cfgReadSequence, int(ModelSequence*, FILE*));
SAME(appMain, int(int, char**));
SAME(appInit, void());
SAME(appKeyEvent, void(unsigned char, int, int));
SAME(appCleanup, void());
SAME(appFrame, void());
SAME(appDrawMarkers, void());

// video and the sleep
SAME(videoOpen, int(char*));
SAME(videoInqSize, int(int*, int*));
SAME(videoCapStart, int());
SAME(videoGetImage, unsigned char*());
SAME(videoCapNext, int());
SAME(videoCapStop, int());
SAME(videoClose, int());
SAME(utilSleep, void(int));

// ---- The table in docs/conformance.md --------------------------------------------------------

// The rows of the document's two tables: function name -> "yes" / "no" (the table of
// differing forms: its Callable column) or "same" (the table of unchanged forms).
std::map<std::string, std::string> documentRows(std::string* error)
{
    std::ifstream in(std::string(TARLIM_SOURCE_DIR) + "/docs/conformance.md");
    std::map<std::string, std::string> rows;
    if (!in) {
        *error = "docs/conformance.md cannot be read";
        return rows;
    }
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind("| `", 0) != 0) continue;
        std::vector<std::string> cells;
        std::stringstream cellStream(line.substr(1));
        std::string cell;
        while (std::getline(cellStream, cell, '|')) {
            const size_t b = cell.find_first_not_of(' ');
            const size_t e = cell.find_last_not_of(' ');
            cells.push_back(b == std::string::npos ? "" : cell.substr(b, e - b + 1));
        }
        const std::string& first = cells[0];
        const size_t close = first.find('`', 1);
        const std::string name = first.substr(1, close - 1);
        std::string kind;
        if (cells.size() == 5)
            kind = cells[3];
        else if (cells.size() == 2)
            kind = "same";
        else
            *error += "row with " + std::to_string(cells.size()) + " cells: " + line + "\n";
        if (rows.count(name) != 0) *error += "listed twice: " + name + "\n";
        rows[name] = kind;
    }
    return rows;
}

TEST(Conformance, DocumentListsEveryFormAsTheCodeHasIt)
{
    std::string error;
    const std::map<std::string, std::string> doc = documentRows(&error);
    EXPECT_EQ(error, "");
    std::map<std::string, std::string> code;
    for (const Row& r : registry())
        code[r.name] = r.form == Form::Same ? "same" : r.form == Form::Wrapper ? "yes" : "no";
    for (const auto& [name, kind] : code) {
        const auto it = doc.find(name);
        if (it == doc.end())
            ADD_FAILURE() << name << " (" << kind << ") is not in docs/conformance.md";
        else
            EXPECT_EQ(it->second, kind) << name << ": the document says otherwise";
    }
    for (const auto& [name, kind] : doc)
        EXPECT_NE(code.count(name), 0u)
            << name << " is in docs/conformance.md but not checked here";
}

// ---- The wrappers, each run against the header's own form --------------------------------------

class ClassicForm : public ::testing::TestWithParam<const Row*> {};

TEST_P(ClassicForm, GivesTheSameResults)
{
    GetParam()->check();
}

std::vector<const Row*> wrapperRows()
{
    std::vector<const Row*> rows;
    for (const Row& r : registry())
        if (r.form == Form::Wrapper) rows.push_back(&r);
    return rows;
}

INSTANTIATE_TEST_SUITE_P(Conformance, ClassicForm, ::testing::ValuesIn(wrapperRows()),
                         [](const ::testing::TestParamInfo<const Row*>& info) {
                             return std::string(info.param->name);
                         });

}  // namespace
