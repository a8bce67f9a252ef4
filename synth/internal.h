// synth internals shared by its source files; not part of the public interface.
// Working images are doubles, three per pixel (B, G, R) in the frame's pixel order,
// grey levels 0 .. 255 before quantisation.
#pragma once

#include "synth/synth.h"

#include <cstdint>
#include <vector>

// Deterministic 64-bit generator (splitmix64): tiny, fast, and the same sequence on
// every machine, unlike the standard library's distributions.
struct SynthRandom {
    std::uint64_t state;
};

std::uint64_t synthRandomNext(SynthRandom* random);
// Uniform in [0, 1).
double synthRandomUniform(SynthRandom* random);

// The scene's background (plain colour or stretched image, then clutter) as
// width * height * 3 bytes (B, G, R).
void synthDrawBackdrop(const SynthScene* scene, std::vector<std::uint8_t>* backdrop);

// Lighting gradient, blur and noise on the working image, in that order, then rounding
// to bytes into *frame (alpha 255). *frame is already sized.
void synthFinish(const SynthScene* scene, std::vector<double>* work, SynthImage* frame);

// Dark squares of clutter (scene->darkSquares) drawn into the backdrop.
void synthDrawDarkSquares(const SynthScene* scene, std::vector<std::uint8_t>* backdrop);

// The busy desk (scene->busy) drawn into the backdrop, over the plain background and
// any clutter.
void synthDrawBusy(const SynthScene* scene, std::vector<std::uint8_t>* backdrop);

// Cast shadows and white balance on the working image.
void synthApplyHardLight(const SynthScene* scene, std::vector<double>* work);

// JPEG compression and decompression of the frame at scene->jpegQuality. Returns 0, or
// -1 when the codec fails (the frame is then unchanged).
int synthApplyJpeg(const SynthScene* scene, SynthImage* frame);
