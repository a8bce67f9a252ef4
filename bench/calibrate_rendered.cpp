// Calibration accuracy on rendered chessboards: fifteen views through known cameras,
// clean or blurred with noise, fitted by the calibration library; prints truth against
// recovered values for docs/performance.md.
//
//   build/bench/calibrate_rendered
#include "tools/calibrate.h"

#include "synth/synth.h"

#include <cmath>
#include <cstdio>
#include <vector>

namespace {

struct ViewSpec {
    double spin, tilt, axis, x, y, z;
};

// The views of tests/test_calibrate.cpp: near and far, tilted up to 45 degrees.
const ViewSpec kViews[] = {
    {0, 0, 0, 0, 0, 520},        {5, 30, 0, -40, 20, 520},      {-5, 30, 90, 40, -20, 520},
    {10, 40, 45, 60, 40, 560},   {-10, 40, 135, -60, -40, 560}, {0, 25, 180, -90, -70, 600},
    {0, 25, 270, 90, 70, 600},   {20, 35, 30, -80, 60, 620},    {-20, 35, 210, 80, -60, 620},
    {3, 15, 60, 0, 90, 700},     {-3, 15, 300, 0, -90, 700},    {8, 45, 100, 100, 0, 650},
    {-8, 45, 280, -100, 0, 650}, {0, 20, 10, 20, 10, 420},      {0, 20, 190, -20, -10, 440},
};

struct Case {
    const char* name;
    double fx, fy, cx, cy, x0, y0, f;
    int freeCentre;
};

}  // namespace

int main()
{
    const Case cases[] = {
        {"barrel", 660, 655, 322.5, 236, 322.5, 236, 12, 0},
        {"strong barrel", 600, 603, 326, 231, 326, 231, 20, 0},
        {"pincushion", 820, 826, 310, 245, 310, 245, -6, 0},
        {"offset centre, --free-centre", 500, 500, 326, 231, 306, 251, 40, 1},
    };
    std::printf("| camera | picture | | fx | fy | cx | cy | x0 | y0 | f | RMS px |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Case& c : cases) {
        for (int noisy = 0; noisy < 2; noisy++) {
            CameraParam cam{};
            cam.width = 640;
            cam.height = 480;
            cam.projection[0][0] = c.fx;
            cam.projection[1][1] = c.fy;
            cam.projection[0][2] = c.cx;
            cam.projection[1][2] = c.cy;
            cam.projection[2][2] = 1.0;
            cam.distortion[0] = c.x0;
            cam.distortion[1] = c.y0;
            cam.distortion[2] = c.f;
            cam.distortion[3] = 1.0;
            SynthScene scene;
            synthSceneInit(&cam, &scene);
            scene.blurSigma = noisy ? 1.0 : 0.0;
            scene.noiseSigma = noisy ? 3.0 : 0.0;
            SynthBoard board;
            std::vector<std::vector<double>> views;
            for (const ViewSpec& v : kViews) {
                synthPoseMake(v.spin, v.tilt, v.axis, v.x, v.y, v.z, board.pose);
                SynthImage frame;
                synthRenderBoard(&scene, &board, &frame, nullptr);
                scene.noiseSeed++;
                std::vector<double> corners(9 * 6 * 2);
                if (calibFindCorners(frame.pixels.data(), 640, 480, 9, 6, 0, corners.data()) == 0)
                    views.push_back(corners);
            }
            CalibOptions options;
            options.freeCentre = c.freeCentre;
            CalibResult r;
            char reason[256];
            if (calibFit(CalibBoard{}, 640, 480, views, options, &r, reason, sizeof reason) != 0) {
                std::printf("| %s | %s | failed: %s |\n", c.name,
                            noisy ? "blur 1, noise 3" : "clean", reason);
                continue;
            }
            const char* picture = noisy ? "blur 1, noise 3" : "clean";
            std::printf("| %s | %s | truth | %.1f | %.1f | %.1f | %.1f | %.1f | %.1f | %.2f | |\n",
                        c.name, picture, c.fx, c.fy, c.cx, c.cy, c.x0, c.y0, c.f);
            const CameraParam& o = r.camera;
            std::printf(
                "| | | recovered | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.3f | %.4f |\n",
                o.projection[0][0], o.projection[1][1], o.projection[0][2], o.projection[1][2],
                o.distortion[0], o.distortion[1], o.distortion[2], r.rms);
            std::printf("| | | OpenCV start | %.2f | %.2f | %.2f | %.2f | | | %.3f | %.4f |\n",
                        r.start.fx, r.start.fy, r.start.cx, r.start.cy,
                        -r.start.k1 / (r.start.fx * r.start.fy) * 1e8, r.start.rms);
        }
    }
    return 0;
}
