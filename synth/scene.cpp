// Cameras, poses and scene defaults: the small builders that tests, benchmarks and
// the demo clip use to set up a scene.
#include "synth/synth.h"

#include <cmath>

namespace {

constexpr double kSynthPi = 3.14159265358979323846;

double synthRadians(double degrees)
{
    return degrees * (kSynthPi / 180.0);
}

void synthMatMul3(const double a[3][3], const double b[3][3], double out[3][3])
{
    for (int r = 0; r < 3; r++)
        for (int c = 0; c < 3; c++)
            out[r][c] = a[r][0] * b[0][c] + a[r][1] * b[1][c] + a[r][2] * b[2][c];
}

// Rotation by `angle` radians about the unit axis (ux, uy, 0) (Rodrigues' formula).
void synthAxisRotation(double ux, double uy, double angle, double out[3][3])
{
    const double c = std::cos(angle), s = std::sin(angle), k = 1.0 - c;
    out[0][0] = c + ux * ux * k;
    out[0][1] = ux * uy * k;
    out[0][2] = uy * s;
    out[1][0] = ux * uy * k;
    out[1][1] = c + uy * uy * k;
    out[1][2] = -ux * s;
    out[2][0] = -uy * s;
    out[2][1] = ux * s;
    out[2][2] = c;
}

}  // namespace

int synthCameraMake(int width, int height, double focal, double distortionF, CameraParam* camera)
{
    if (camera == nullptr || width < 1 || width > kSynthMaxImageSide || height < 1 ||
        height > kSynthMaxImageSide || !(focal > 0.0) || !std::isfinite(focal) ||
        !std::isfinite(distortionF))
        return -1;
    const double cx = (width - 1) * 0.5, cy = (height - 1) * 0.5;
    *camera = CameraParam{};
    camera->width = width;
    camera->height = height;
    camera->projection[0][0] = focal;
    camera->projection[0][2] = cx;
    camera->projection[1][1] = focal;
    camera->projection[1][2] = cy;
    camera->projection[2][2] = 1.0;
    camera->distortion[0] = cx;
    camera->distortion[1] = cy;
    camera->distortion[2] = distortionF;
    camera->distortion[3] = 1.0;
    return 0;
}

int synthPoseMake(double spinDeg, double tiltDeg, double tiltAxisDeg, double x, double y, double z,
                  double pose[3][4])
{
    // Marker facing the camera upright: +x stays, +y (up the picture) becomes camera -y
    // (image y grows downwards), +z (towards the viewer) becomes camera -z.
    const double facing[3][3] = {{1, 0, 0}, {0, -1, 0}, {0, 0, -1}};
    const double spin = synthRadians(spinDeg);
    const double spinRot[3][3] = {
        {std::cos(spin), -std::sin(spin), 0}, {std::sin(spin), std::cos(spin), 0}, {0, 0, 1}};
    const double axis = synthRadians(tiltAxisDeg);
    double tiltRot[3][3];
    synthAxisRotation(std::cos(axis), std::sin(axis), synthRadians(tiltDeg), tiltRot);
    double tiltSpin[3][3], rotation[3][3];
    synthMatMul3(tiltRot, spinRot, tiltSpin);
    synthMatMul3(facing, tiltSpin, rotation);
    const double position[3] = {x, y, z};
    for (int r = 0; r < 3; r++) {
        for (int c = 0; c < 3; c++) pose[r][c] = rotation[r][c];
        pose[r][3] = position[r];
    }
    return 0;
}

int synthSceneInit(const CameraParam* camera, SynthScene* scene)
{
    *scene = SynthScene{};
    scene->camera = *camera;
    return 0;
}
