// Rendering a calibration chessboard. Every pixel corner is traced back through the
// lens model (observed -> ideal) and the inverse homography of the board plane; a pixel
// whose corners see one region takes its colour, a pixel on a boundary is averaged over
// 8 x 8 sub-samples, each traced exactly, so corner positions carry no interpolation
// error.
#include "synth/synth.h"
#include "synth/internal.h"

#include <cmath>
#include <cstddef>

namespace {

// Ink and paper as for markers: prints are never pure black or white (tunable).
constexpr double kSynthBoardInk = 24.0;
constexpr double kSynthBoardPaper = 236.0;
constexpr int kSynthBoardSubsamples = 8;
constexpr int kSynthBoardMaxCorners = 64;

enum SynthBoardRegion { kRegionBackground = 0, kRegionPaper = 1, kRegionInk = 2 };

struct SynthBoardPrep {
    double hinv[3][3];  // ideal (u, v, 1) -> plane (a, b, c), point (a / c, b / c)
    double halfW;       // half the width of the squares, plane units
    double halfH;       // half their height
    double paperW;      // half the width of the paper
    double paperH;      // half its height
    double square;
    const double* distortion;
};

bool synthBoardInvert(const double m[3][3], double out[3][3])
{
    const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                       m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                       m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
    if (det == 0.0 || !std::isfinite(det)) return false;
    for (int r = 0; r < 3; r++) {
        for (int c = 0; c < 3; c++) {
            const int r1 = (c + 1) % 3, r2 = (c + 2) % 3, c1 = (r + 1) % 3, c2 = (r + 2) % 3;
            out[r][c] = (m[r1][c1] * m[r2][c2] - m[r1][c2] * m[r2][c1]) / det;
        }
    }
    return true;
}

// What the observed position (x, y) sees.
int synthBoardRegion(const SynthBoardPrep& prep, double x, double y)
{
    double u = 0.0, v = 0.0;
    camObservToIdeal(prep.distortion, x, y, &u, &v);
    const double* h0 = prep.hinv[0];
    const double* h1 = prep.hinv[1];
    const double* h2 = prep.hinv[2];
    const double c = h2[0] * u + h2[1] * v + h2[2];
    // c <= 0: the ray meets the plane behind the camera.
    if (!(c > 0.0)) return kRegionBackground;
    const double px = (h0[0] * u + h0[1] * v + h0[2]) / c;
    const double py = (h1[0] * u + h1[1] * v + h1[2]) / c;
    if (!(std::fabs(px) <= prep.paperW && std::fabs(py) <= prep.paperH)) return kRegionBackground;
    if (std::fabs(px) >= prep.halfW || std::fabs(py) >= prep.halfH) return kRegionPaper;
    const long a = static_cast<long>(std::floor((px + prep.halfW) / prep.square));
    const long b = static_cast<long>(std::floor((prep.halfH - py) / prep.square));
    return (a + b) % 2 == 0 ? kRegionInk : kRegionPaper;
}

bool synthBoardValid(const SynthScene* scene, const SynthBoard* board)
{
    const CameraParam& cam = scene->camera;
    if (cam.width < 1 || cam.width > kSynthMaxImageSide || cam.height < 1 ||
        cam.height > kSynthMaxImageSide)
        return false;
    for (const auto& row : cam.projection)
        for (double v : row)
            if (!std::isfinite(v)) return false;
    for (double v : cam.distortion)
        if (!std::isfinite(v)) return false;
    if (!(scene->lightGradient >= 0.0 && scene->lightGradient <= 1.0) ||
        !std::isfinite(scene->lightAngleDeg))
        return false;
    if (!(scene->blurSigma >= 0.0 && scene->blurSigma <= 10.0)) return false;
    if (!(scene->noiseSigma >= 0.0 && scene->noiseSigma <= 100.0)) return false;
    if (board->cols < 2 || board->cols > kSynthBoardMaxCorners || board->rows < 2 ||
        board->rows > kSynthBoardMaxCorners)
        return false;
    if (!(board->square > 0.0) || !std::isfinite(board->square) || !(board->margin >= 0.0) ||
        !std::isfinite(board->margin))
        return false;
    for (const auto& row : board->pose)
        for (double v : row)
            if (!std::isfinite(v)) return false;
    return true;
}

}  // namespace

int synthRenderBoard(const SynthScene* scene, const SynthBoard* board, SynthImage* frame,
                     double* corners)
{
    if (scene == nullptr || board == nullptr || frame == nullptr) return -1;
    if (!synthBoardValid(scene, board)) return -1;
    const CameraParam& cam = scene->camera;
    const double(*p)[4] = cam.projection;
    const double(*pose)[4] = board->pose;

    SynthBoardPrep prep{};
    prep.square = board->square;
    prep.halfW = 0.5 * (board->cols + 1) * board->square;
    prep.halfH = 0.5 * (board->rows + 1) * board->square;
    prep.paperW = prep.halfW + board->margin * board->square;
    prep.paperH = prep.halfH + board->margin * board->square;
    prep.distortion = cam.distortion;

    // The whole paper must lie in front of the camera.
    const double paper[4][2] = {{-prep.paperW, prep.paperH},
                                {prep.paperW, prep.paperH},
                                {prep.paperW, -prep.paperH},
                                {-prep.paperW, -prep.paperH}};
    for (const auto& q : paper) {
        double w = 0.0;
        for (int k = 0; k < 3; k++) {
            const double ck = pose[k][0] * q[0] + pose[k][1] * q[1] + pose[k][3];
            w += p[2][k] * ck;
        }
        w += p[2][3];
        if (!(w > 0.0)) return -1;
    }

    // Plane (X, Y, 1) -> ideal image: P * [r1 r2 t; 0 0 1].
    double h[3][3];
    for (int r = 0; r < 3; r++) {
        for (int c = 0; c < 2; c++)
            h[r][c] = p[r][0] * pose[0][c] + p[r][1] * pose[1][c] + p[r][2] * pose[2][c];
        h[r][2] = p[r][0] * pose[0][3] + p[r][1] * pose[1][3] + p[r][2] * pose[2][3] + p[r][3];
    }
    if (!synthBoardInvert(h, prep.hinv)) return -1;

    const int width = cam.width, height = cam.height;
    const std::size_t cw = static_cast<std::size_t>(width) + 1;
    std::vector<std::uint8_t> labels(cw * (height + 1));
    for (int y = 0; y <= height; y++)
        for (int x = 0; x <= width; x++)
            labels[y * cw + x] =
                static_cast<std::uint8_t>(synthBoardRegion(prep, x - 0.5, y - 0.5));

    const double levels[3][3] = {{static_cast<double>(scene->background[0]),
                                  static_cast<double>(scene->background[1]),
                                  static_cast<double>(scene->background[2])},
                                 {kSynthBoardPaper, kSynthBoardPaper, kSynthBoardPaper},
                                 {kSynthBoardInk, kSynthBoardInk, kSynthBoardInk}};
    std::vector<double> work(static_cast<std::size_t>(width) * height * 3);
    constexpr int n = kSynthBoardSubsamples;
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            const int l = labels[y * cw + x];
            double* out = &work[(static_cast<std::size_t>(y) * width + x) * 3];
            if (labels[y * cw + x + 1] == l && labels[(y + 1) * cw + x] == l &&
                labels[(y + 1) * cw + x + 1] == l) {
                for (int c = 0; c < 3; c++) out[c] = levels[l][c];
                continue;
            }
            double sum[3] = {0.0, 0.0, 0.0};
            for (int sy = 0; sy < n; sy++) {
                for (int sx = 0; sx < n; sx++) {
                    const int r =
                        synthBoardRegion(prep, x - 0.5 + (sx + 0.5) / n, y - 0.5 + (sy + 0.5) / n);
                    for (int c = 0; c < 3; c++) sum[c] += levels[r][c];
                }
            }
            for (int c = 0; c < 3; c++) out[c] = sum[c] / (n * n);
        }
    }

    if (corners != nullptr) {
        for (int j = 0; j < board->rows; j++) {
            for (int i = 0; i < board->cols; i++) {
                const double bx = (i - 0.5 * (board->cols - 1)) * board->square;
                const double by = (0.5 * (board->rows - 1) - j) * board->square;
                double q[3];
                for (int r = 0; r < 3; r++) q[r] = h[r][0] * bx + h[r][1] * by + h[r][2];
                double* c = &corners[(static_cast<std::size_t>(j) * board->cols + i) * 2];
                camIdealToObserv(cam.distortion, q[0] / q[2], q[1] / q[2], &c[0], &c[1]);
            }
        }
    }

    frame->width = width;
    frame->height = height;
    frame->pixels.assign(static_cast<std::size_t>(width) * height * 4, 0);
    synthFinish(scene, &work, frame);
    return 0;
}
