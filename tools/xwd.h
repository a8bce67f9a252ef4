// Reading X window dumps (the files xwd writes) into frame-layout images, for the
// demo screenshot tool and the end-to-end tests, which look at the real window as the
// X server shows it.
#pragma once

#include <string>

#include "synth/synth.h"

// Reads an XWD file of a TrueColor or DirectColor image with 24 or 32 bits per pixel
// (what xwd writes for a 24-bit Xvfb screen) into *image (B, G, R, alpha 255).
// Returns 0, or -1 with a reason in *error when the file cannot be read or holds
// another kind of image; *image is then untouched.
int xwdRead(const std::string& path, SynthImage* image, std::string* error);

// The sub-image (x, y, width, height) of source, clipped to it; empty when the
// rectangle misses the image.
SynthImage xwdCrop(const SynthImage& source, int x, int y, int width, int height);

// source shrunk by an integer factor (>= 1) by averaging factor x factor blocks;
// trailing rows and columns that do not fill a block are dropped.
SynthImage xwdShrink(const SynthImage& source, int factor);
