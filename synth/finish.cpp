// The camera's last steps on a rendered image: uneven light, lens blur, sensor noise,
// quantisation to bytes.
#include "synth/internal.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

namespace {

void synthApplyLight(const SynthScene* scene, std::vector<double>* work)
{
    const int width = scene->camera.width, height = scene->camera.height;
    const double angle = scene->lightAngleDeg * (3.14159265358979323846 / 180.0);
    const double dx = std::cos(angle), dy = std::sin(angle);
    // Position along the light direction, normalised to 0 .. 1 over the frame corners.
    const double corners[4] = {0.0, (width - 1) * dx, (height - 1) * dy,
                               (width - 1) * dx + (height - 1) * dy};
    const double lo = *std::min_element(corners, corners + 4),
                 hi = *std::max_element(corners, corners + 4);
    const double span = hi - lo > 0.0 ? hi - lo : 1.0;
    for (int y = 0; y < height; y++) {
        for (int x = 0; x < width; x++) {
            const double t = (x * dx + y * dy - lo) / span;
            const double gain = 1.0 - scene->lightGradient * t;
            double* p = &(*work)[(static_cast<std::size_t>(y) * width + x) * 3];
            p[0] *= gain;
            p[1] *= gain;
            p[2] *= gain;
        }
    }
}

// One pass of the separable Gaussian along rows (step 3) or columns (step 3 * width),
// clamping at the frame border. Each line is copied out first, padded with its end
// values, so the inner loop needs no clamping.
void synthBlurPass(std::vector<double>* work, int lines, int length, std::size_t lineStep,
                   std::size_t step, const std::vector<double>& kernel)
{
    const int radius = static_cast<int>(kernel.size() / 2);
    const int taps = static_cast<int>(kernel.size());
    std::vector<double> line(static_cast<std::size_t>(length + 2 * radius) * 3);
    for (int l = 0; l < lines; l++) {
        double* base = &(*work)[static_cast<std::size_t>(l) * lineStep];
        for (int i = -radius; i < length + radius; i++) {
            const int j = std::min(length - 1, std::max(0, i));
            for (int c = 0; c < 3; c++)
                line[static_cast<std::size_t>(i + radius) * 3 + c] =
                    base[static_cast<std::size_t>(j) * step + c];
        }
        for (int i = 0; i < length; i++) {
            const double* in = &line[static_cast<std::size_t>(i) * 3];
            double b = 0.0, g = 0.0, r = 0.0;
            for (int k = 0; k < taps; k++) {
                const double weight = kernel[static_cast<std::size_t>(k)];
                b += weight * in[k * 3];
                g += weight * in[k * 3 + 1];
                r += weight * in[k * 3 + 2];
            }
            double* out = &base[static_cast<std::size_t>(i) * step];
            out[0] = b;
            out[1] = g;
            out[2] = r;
        }
    }
}

void synthApplyBlur(const SynthScene* scene, std::vector<double>* work)
{
    const double sigma = scene->blurSigma;
    const int radius = static_cast<int>(std::ceil(3.0 * sigma));
    std::vector<double> kernel(static_cast<std::size_t>(2 * radius + 1));
    double total = 0.0;
    for (int k = -radius; k <= radius; k++) {
        const double weight = std::exp(-0.5 * k * k / (sigma * sigma));
        kernel[static_cast<std::size_t>(k + radius)] = weight;
        total += weight;
    }
    for (double& weight : kernel) weight /= total;
    const int width = scene->camera.width, height = scene->camera.height;
    synthBlurPass(work, height, width, static_cast<std::size_t>(width) * 3, 3, kernel);
    synthBlurPass(work, width, height, 3, static_cast<std::size_t>(width) * 3, kernel);
}

// Approximately Gaussian noise: the sum of four uniform 16-bit variates (one 64-bit
// draw), centred and scaled to unit variance. Integer work only, so it is cheap and
// identical everywhere; its tails end at 3.46 sigma, which a sensor model can spare.
void synthApplyNoise(const SynthScene* scene, std::vector<double>* work)
{
    SynthRandom random{scene->noiseSeed * 0x9e3779b97f4a7c15ull + 7};
    // Sum of four U(0, 1) has mean 2 and variance 1/3.
    const double scale = scene->noiseSigma * std::sqrt(3.0) / 65536.0;
    for (double& value : *work) {
        const std::uint64_t bits = synthRandomNext(&random);
        const long sum = static_cast<long>(bits & 0xffff) +
                         static_cast<long>((bits >> 16) & 0xffff) +
                         static_cast<long>((bits >> 32) & 0xffff) + static_cast<long>(bits >> 48);
        value += (static_cast<double>(sum) + 2.0 - 2.0 * 65536.0) * scale;
    }
}

}  // namespace

void synthFinish(const SynthScene* scene, std::vector<double>* work, SynthImage* frame)
{
    if (scene->lightGradient > 0.0) synthApplyLight(scene, work);
    synthApplyHardLight(scene, work);
    if (scene->blurSigma > 0.0) synthApplyBlur(scene, work);
    if (scene->noiseSigma > 0.0) synthApplyNoise(scene, work);
    const std::size_t count = work->size() / 3;
    for (std::size_t i = 0; i < count; i++) {
        for (int c = 0; c < 3; c++) {
            // Round half up; truncation equals floor once v is known to be positive.
            const double v = (*work)[i * 3 + c] + 0.5;
            frame->pixels[i * 4 + c] =
                v < 1.0 ? 0 : (v >= 255.0 ? 255 : static_cast<std::uint8_t>(v));
        }
        frame->pixels[i * 4 + 3] = 255;
    }
}
