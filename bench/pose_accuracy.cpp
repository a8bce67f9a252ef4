// Accuracy of detection and pose over a grid of views, on frames rendered at known
// poses: the shipped markers, each at 4 sizes (270, 160, 80, 40 pixels across), facing
// the camera or tilted 20, 40, 60 degrees about 4 axes, at 2 in-plane angles, in the
// centre or towards a corner of the frame; with and without blur and noise, with and without lens
// distortion (the shipped camera file, and the same camera without distortion).
// Prints the table and the registration of the model on the marker under strong
// distortion, fitted to the ideal corners and, for comparison, to the corners
// converted to observed coordinates.
//
// Usage: pose_accuracy [SOURCE_DIR]   (default: the source tree it was built from)
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "detect/detect.h"
#include "pattern/pattern.h"
#include "pose/pose.h"
#include "synth/synth.h"
#include "tests/support/support.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr double kSide = 80;
constexpr int kThreshold = 100;

struct Marker {
    std::string name;
    SynthImage picture;
    int patternId = -1;
};

std::vector<Marker> loadMarkers(const std::filesystem::path& dir)
{
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        if (entry.path().extension() == ".pat") names.push_back(entry.path().stem().string());
    std::sort(names.begin(), names.end());
    std::vector<Marker> list;
    for (const std::string& name : names) {
        Marker m;
        m.name = name;
        if (synthPngRead((dir / (name + ".png")).string().c_str(), &m.picture) != 0) continue;
        m.patternId = patternLoad((dir / (name + ".pat")).string().c_str());
        if (m.patternId >= 0) list.push_back(std::move(m));
    }
    return list;
}

// One view's measurements; NaN where the stage did not succeed.
struct Result {
    bool detected = false;
    bool posed = false;
    double cornerSq = 0;       // summed squared corner distances (4 corners), pixels^2
    double transPct = 0;       // |t - t_true| / |t_true| in percent
    double rotDeg = 0;         // angle of R R_true^T
    double registerPx = 0;     // worst reprojected corner vs true ideal corner, fit to ideal
    double registerObsPx = 0;  // the same for the fit to observed corners
    double transObsPct = 0;    // translation error of the fit to observed corners
};

Result measure(const CameraParam& cam, const Marker& marker, const double pose[3][4], double blur,
               double noise, unsigned seed)
{
    Result res;
    camParamInit(&cam);
    SynthScene scene;
    synthSceneInit(&cam, &scene);
    scene.blurSigma = blur;
    scene.noiseSigma = noise;
    scene.noiseSeed = seed;
    scene.markerCount = 1;
    scene.markers[0].picture = &marker.picture;
    scene.markers[0].side = kSide;
    std::memcpy(scene.markers[0].pose, pose, sizeof scene.markers[0].pose);
    SynthImage frame;
    SynthTruth truth;
    if (synthRender(&scene, &frame, &truth) != 0) return res;
    // Three frames without the marker empty the detector's history first.
    SynthImage blank;
    synthImageMake(cam.width, cam.height, 200, 200, 200, &blank);
    DetectedMarker* list;
    int32_t count;
    for (int i = 0; i < 3; i++) markDetect(blank.pixels.data(), kThreshold, &list, &count);
    if (markDetect(frame.pixels.data(), kThreshold, &list, &count) < 0) return res;
    const DetectedMarker* found = nullptr;
    for (int i = 0; i < count && !found; i++)
        if (list[i].patternId == marker.patternId) found = &list[i];
    if (!found) return res;
    res.detected = true;
    for (int k = 0; k < 4; k++) {
        const double* q = found->cornerPoints[(k + 4 - found->direction) % 4];
        const double dx = q[0] - truth.markers[0].idealCorners[k][0],
                     dy = q[1] - truth.markers[0].idealCorners[k][1];
        res.cornerSq += dx * dx + dy * dy;
    }
    double T[3][4];
    const double centre[2] = {0, 0};
    if (poseGetTransform(found, centre, kSide, T) < 0) return res;
    res.posed = true;
    double d2 = 0, t2 = 0, trace = 0;
    for (int r = 0; r < 3; r++) {
        d2 += (T[r][3] - pose[r][3]) * (T[r][3] - pose[r][3]);
        t2 += pose[r][3] * pose[r][3];
        for (int c = 0; c < 3; c++) trace += T[r][c] * pose[r][c];
    }
    res.transPct = 100 * std::sqrt(d2 / t2);
    res.rotDeg = std::acos(std::max(-1.0, std::min(1.0, (trace - 1) / 2))) * 180 / kPi;
    res.registerPx =
        support::reprojectionPx(cam.projection, T, truth.markers[0].idealCorners, kSide);
    double Tw[3][4];
    if (support::fitObservedCorners(*found, kSide, Tw) >= 0) {
        res.registerObsPx =
            support::reprojectionPx(cam.projection, Tw, truth.markers[0].idealCorners, kSide);
        double e2 = 0;
        for (int r = 0; r < 3; r++) e2 += (Tw[r][3] - pose[r][3]) * (Tw[r][3] - pose[r][3]);
        res.transObsPct = 100 * std::sqrt(e2 / t2);
    } else {
        res.registerObsPx = res.transObsPct = NAN;
    }
    return res;
}

double percentile(std::vector<double> v, double p)
{
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const size_t i = std::min(v.size() - 1, size_t(std::ceil(p * v.size())) - (p > 0 ? 1 : 0));
    return v[i];
}

struct Row {
    int views = 0, detected = 0, posed = 0;
    double cornerSq = 0;
    std::vector<double> trans, rot, reg, regObs, transObs;
    void add(const Result& r)
    {
        views++;
        if (!r.detected) return;
        detected++;
        cornerSq += r.cornerSq;
        if (!r.posed) return;
        posed++;
        trans.push_back(r.transPct);
        rot.push_back(r.rotDeg);
        reg.push_back(r.registerPx);
        regObs.push_back(r.registerObsPx);
        transObs.push_back(r.transObsPct);
    }
    void print(const char* label) const
    {
        std::printf("| %-34s | %4d | %5.1f%% | %5.1f%% | %6.3f | %6.3f | %6.3f | %6.3f | %6.3f |\n",
                    label, views, 100.0 * detected / views, 100.0 * posed / std::max(1, detected),
                    std::sqrt(cornerSq / std::max(1, 4 * detected)), percentile(trans, 0.5),
                    percentile(trans, 0.95), percentile(rot, 0.5), percentile(rot, 0.95));
    }
};

void header()
{
    std::printf("| %-34s | %4s | %6s | %6s | %6s | %6s | %6s | %6s | %6s |\n", "condition", "views",
                "detect", "posed", "corner", "t med", "t 95%", "R med", "R 95%");
    std::printf("| %-34s | %4s | %6s | %6s | %6s | %6s | %6s | %6s | %6s |\n", "", "", "", "",
                "RMS px", "%", "%", "deg", "deg");
    std::printf("|%s|------|--------|--------|--------|--------|--------|--------|--------|\n",
                std::string(36, '-').c_str());
}

// Runs the grid for one camera and one image quality; adds every view to `all` and to
// the row of its size.
void runGrid(const CameraParam& cam, const std::vector<Marker>& markers, double blur, double noise,
             Row* all, Row bySpan[4])
{
    const double spans[4] = {270, 160, 80, 40};
    unsigned seed = 1;
    for (int s = 0; s < 4; s++) {
        const double z = cam.projection[0][0] * kSide / spans[s];
        for (double tilt : {0.0, 20.0, 40.0, 60.0}) {
            for (double axis : {0.0, 45.0, 90.0, 135.0}) {
                if (tilt == 0 && axis != 0) continue;
                for (double spin : {0.0, 37.0}) {
                    for (size_t k = 0; k < markers.size(); k++) {
                        // Centre, upper left or lower right of the frame in turn, as far
                        // out as keeps the largest marker inside the frame.
                        const int place = int(k + (spin > 0)) % 3;
                        const double reach = spans[s] > 200 ? 0.1 : 0.25;
                        const double off = (place == 0 ? 0.0 : place == 1 ? -reach : reach) * z;
                        double pose[3][4];
                        synthPoseMake(spin + 90 * k, tilt, axis, off, off * 0.6, z, pose);
                        const Result r = measure(cam, markers[k], pose, blur, noise, seed++);
                        all->add(r);
                        bySpan[s].add(r);
                    }
                }
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const std::filesystem::path root = argc > 1 ? argv[1] : TARLIM_SOURCE_DIR;
    const std::vector<Marker> markers = loadMarkers(root / "data" / "markers");
    CameraParam shipped{};
    if (markers.empty() ||
        camParamLoad((root / "data" / "camera.cam").string().c_str(), 1, &shipped) != 0) {
        std::fprintf(stderr, "pose_accuracy: no markers or camera file under %s/data\n",
                     root.string().c_str());
        return 1;
    }
    CameraParam plain = shipped;
    plain.distortion[2] = 0;
    CameraParam strong = shipped;
    const double strongDistortion[4] = {318.5, 242, 50, 0.98};
    std::memcpy(strong.distortion, strongDistortion, sizeof strongDistortion);

    struct Condition {
        const char* label;
        const CameraParam* cam;
        double blur, noise;
    };
    const Condition conditions[] = {
        {"no distortion, sharp", &plain, 0, 0},
        {"no distortion, blur 1 px + noise 6", &plain, 1.0, 6},
        {"shipped distortion, sharp", &shipped, 0, 0},
        {"shipped distortion, blur + noise", &shipped, 1.0, 6},
        {"strong distortion, sharp", &strong, 0, 0},
        {"strong distortion, blur + noise", &strong, 1.0, 6},
    };
    std::printf("%zu markers (", markers.size());
    for (const Marker& m : markers) std::printf(" %s", m.name.c_str());
    std::printf(" ), side %.0f, spans 270/160/80/40 px, tilt 0-60 deg\n\n", kSide);
    header();
    Row bySpanAll[4];
    Row strongAll;
    for (const Condition& c : conditions) {
        Row all, bySpan[4];
        runGrid(*c.cam, markers, c.blur, c.noise, &all, bySpan);
        all.print(c.label);
        for (int s = 0; s < 4; s++) {
            bySpanAll[s].views += bySpan[s].views;
            bySpanAll[s].detected += bySpan[s].detected;
            bySpanAll[s].posed += bySpan[s].posed;
            bySpanAll[s].cornerSq += bySpan[s].cornerSq;
            bySpanAll[s].trans.insert(bySpanAll[s].trans.end(), bySpan[s].trans.begin(),
                                      bySpan[s].trans.end());
            bySpanAll[s].rot.insert(bySpanAll[s].rot.end(), bySpan[s].rot.begin(),
                                    bySpan[s].rot.end());
        }
        if (c.cam == &strong) {
            strongAll.reg.insert(strongAll.reg.end(), all.reg.begin(), all.reg.end());
            strongAll.regObs.insert(strongAll.regObs.end(), all.regObs.begin(), all.regObs.end());
            strongAll.trans.insert(strongAll.trans.end(), all.trans.begin(), all.trans.end());
            strongAll.transObs.insert(strongAll.transObs.end(), all.transObs.begin(),
                                      all.transObs.end());
        }
    }
    const char* spanLabels[4] = {"all conditions, 270 px marker", "all conditions, 160 px marker",
                                 "all conditions, 80 px marker", "all conditions, 40 px marker"};
    for (int s = 0; s < 4; s++) bySpanAll[s].print(spanLabels[s]);

    std::printf("\nRegistration under strong distortion (318.5, 242, 50, 0.98): worst reprojected "
                "corner vs the\n"
                "marker's true ideal corner, pixels, over %zu posed views:\n",
                strongAll.reg.size());
    std::printf("  fitted to ideal corners:    median %.3f, 95%% %.3f, max %.3f; translation error "
                "median %.2f%%\n",
                percentile(strongAll.reg, 0.5), percentile(strongAll.reg, 0.95),
                percentile(strongAll.reg, 1.0), percentile(strongAll.trans, 0.5));
    std::printf("  fitted to observed corners: median %.3f, 95%% %.3f, max %.3f; translation error "
                "median %.2f%%\n",
                percentile(strongAll.regObs, 0.5), percentile(strongAll.regObs, 0.95),
                percentile(strongAll.regObs, 1.0), percentile(strongAll.transObs, 0.5));
    return 0;
}
