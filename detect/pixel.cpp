// A pattern drawn into the frame's pixels: the check of pixel matching. A small
// marker's picture spans fewer pixels than the pattern has cells, so resampling it onto
// the pattern's grid and correlating there blurs the picture without blurring the
// pattern; here the pattern goes the other way, through the marker's homography onto
// the pixels, each pixel averaging what its footprint (widened by the lens blur) covers,
// and the correlation is taken over the pixels of the picture.
#include "detect/internal.h"

#include <algorithm>
#include <cmath>

#include "camera/camera.h"

namespace {

// Sub-points per pixel side, and how far they reach from the pixel's centre (pixels):
// the pixel itself plus about half a pixel of blur on each side.
constexpr int kPixelSubpoints = 4;
constexpr double kPixelReach = 1.0;

// Reference square of the homography: the marker spans 100 ... 110, its picture the
// central half.
constexpr double kRefLow = 100.0, kRefHigh = 110.0;
constexpr double kPicLow = 102.5, kPicHigh = 107.5;

}  // namespace

double markPixelCorrelation(const uint8_t* frame, int width, int height, const double distortion[4],
                            const double cornerPoints[4][2], const PatternSlot& slot, int direction,
                            const MarkPixelLight* light)
{
    static const double reference[4][2] = {
        {kRefLow, kRefLow}, {kRefHigh, kRefLow}, {kRefHigh, kRefHigh}, {kRefLow, kRefHigh}};
    double observed[4][2];
    for (int c = 0; c < 4; c++)
        camIdealToObserv(distortion, cornerPoints[c][0], cornerPoints[c][1], &observed[c][0],
                         &observed[c][1]);
    double H[3][3];  // observed pixel -> reference
    if (patternHomography(observed, reference, H) < 0) return -1.0;

    // Darkness of the pattern's cells: the stored values are inverted (dark positive) with
    // their mean removed; the lightest cell is taken as paper (0) and the border as ink.
    double cell[kPatternSide * kPatternSide];
    double lightest = 1e300, darkest = -1e300;
    for (int i = 0; i < kPatternSide * kPatternSide; i++) {
        const int32_t* v = slot.values[direction] + 3 * i;
        cell[i] = (v[0] + v[1] + v[2]) / 3.0;
        lightest = std::min(lightest, cell[i]);
        darkest = std::max(darkest, cell[i]);
    }
    const double ink = std::max(255.0, darkest - lightest);
    for (double& c : cell) c -= lightest;
    auto darkness = [&](double X, double Y) {
        if (X < kRefLow || X > kRefHigh || Y < kRefLow || Y > kRefHigh) return 0.0;
        if (X < kPicLow || X >= kPicHigh || Y < kPicLow || Y >= kPicHigh) return ink;
        const double scale = kPatternSide / (kPicHigh - kPicLow);
        const int col = std::min(kPatternSide - 1, static_cast<int>((X - kPicLow) * scale));
        const int row = std::min(kPatternSide - 1, static_cast<int>((Y - kPicLow) * scale));
        return cell[row * kPatternSide + col];
    };

    double xmin = observed[0][0], xmax = xmin, ymin = observed[0][1], ymax = ymin;
    for (int c = 1; c < 4; c++) {
        xmin = std::min(xmin, observed[c][0]);
        xmax = std::max(xmax, observed[c][0]);
        ymin = std::min(ymin, observed[c][1]);
        ymax = std::max(ymax, observed[c][1]);
    }
    if (!(xmin >= 0.0 && ymin >= 0.0 && xmax <= width - 1.0 && ymax <= height - 1.0)) return -1.0;
    double so = 0.0, sm = 0.0, soo = 0.0, smm = 0.0, som = 0.0;
    int n = 0;
    for (int y = static_cast<int>(ymin); y <= static_cast<int>(ymax); y++) {
        for (int x = static_cast<int>(xmin); x <= static_cast<int>(xmax); x++) {
            // The pixel's centre in the reference square, and the local linear map there.
            const double d = H[2][0] * x + H[2][1] * y + H[2][2];
            if (!(std::fabs(d) > 1e-12)) return -1.0;
            const double X = (H[0][0] * x + H[0][1] * y + H[0][2]) / d;
            const double Y = (H[1][0] * x + H[1][1] * y + H[1][2]) / d;
            if (X < kPicLow || X >= kPicHigh || Y < kPicLow || Y >= kPicHigh) continue;
            const double jxx = (H[0][0] - X * H[2][0]) / d, jxy = (H[0][1] - X * H[2][1]) / d;
            const double jyx = (H[1][0] - Y * H[2][0]) / d, jyy = (H[1][1] - Y * H[2][1]) / d;
            double model = 0.0;
            for (int a = 0; a < kPixelSubpoints; a++) {
                const double dy = kPixelReach * (2.0 * (a + 0.5) / kPixelSubpoints - 1.0);
                for (int b = 0; b < kPixelSubpoints; b++) {
                    const double dx = kPixelReach * (2.0 * (b + 0.5) / kPixelSubpoints - 1.0);
                    model += darkness(X + jxx * dx + jxy * dy, Y + jyx * dx + jyy * dy);
                }
            }
            const uint8_t* p = frame + (static_cast<int64_t>(y) * width + x) * 4;
            const double o =
                light == nullptr
                    ? 765.0 - (p[0] + p[1] + p[2])
                    : light->darkness(light->model, (X - kRefLow) / (kRefHigh - kRefLow),
                                      (Y - kRefLow) / (kRefHigh - kRefLow),
                                      (p[0] + p[1] + p[2]) / 3.0);
            so += o;
            sm += model;
            soo += o * o;
            smm += model * model;
            som += o * model;
            n++;
        }
    }
    if (n < 16) return -1.0;
    const double vo = soo - so * so / n, vm = smm - sm * sm / n;
    if (!(vo > 0.0 && vm > 0.0)) return -1.0;
    return (som - so * sm / n) / std::sqrt(vo * vm);
}
