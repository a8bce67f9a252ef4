// Test helpers for detection on rendered frames: the shipped markers, a fresh detector
// run with given options, and the detection that belongs to a rendered marker. Tests
// only (reports through GoogleTest); the including file defines TARLIM_SOURCE_DIR.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "camera/camera.h"
#include "detect/detect.h"
#include "pattern/pattern.h"
#include "synth/synth.h"

// The four shipped markers in the order arrow, bars, key, moon: pictures, pointers to
// them (for the renderer) and their slots in the default pattern set, loaded on first
// use. A picture that cannot be read stays empty and its slot -1.
struct ShippedMarkers {
    SynthImage pictures[4];
    const SynthImage* list[4] = {};
    int slots[4] = {-1, -1, -1, -1};
};

inline const ShippedMarkers& shippedMarkers()
{
    static const char* const names[4] = {"arrow", "bars", "key", "moon"};
    static ShippedMarkers a;
    static bool loaded = false;
    if (!loaded) {
        loaded = true;
        for (int i = 0; i < 4; i++) {
            const std::string base = std::string(TARLIM_SOURCE_DIR) + "/data/markers/" + names[i];
            if (synthPngRead((base + ".png").c_str(), &a.pictures[i]) == 0)
                a.slots[i] = patternLoad((base + ".pat").c_str());
            a.list[i] = &a.pictures[i];
        }
    }
    return a;
}

// Hard-light frame `index` (synthHardLightScene) of the shipped markers rendered into
// *frame and *truth, its camera made the current one (detectWith uses it). Returns false
// when the scene or the rendering fails.
inline bool renderHardLight(int index, SynthScene* scene, SynthImage* frame, SynthTruth* truth)
{
    if (synthHardLightScene(index, shippedMarkers().list, 4, scene) != 0) return false;
    if (synthRender(scene, frame, truth) != 0) return false;
    camParamInit(&scene->camera);
    return true;
}

// Markers of `frame` found by a fresh detector with `options`, the camera last installed
// (camCurrentParam) and the default pattern set. A detector that cannot be made fails
// the test and gives no markers.
inline std::vector<DetectedMarker> detectWith(const SynthImage& frame, const MarkOptions& options)
{
    std::vector<DetectedMarker> out;
    MarkDetector* d = markDetectorCreate(&options, patternDefaultSet());
    if (d == nullptr || markDetectorSetCamera(d, &camCurrentParam) < 0) {
        ADD_FAILURE() << "no detector";
        markDetectorRelease(d);
        return out;
    }
    DetectedMarker* list = nullptr;
    int32_t count = 0;
    if (markDetectorRun(d, frame.pixels.data(), &list, &count) == 0) out.assign(list, list + count);
    markDetectorRelease(d);
    return out;
}

// The detection whose centroid lies within a quarter span of the marker's centre, or
// nullptr.
inline const DetectedMarker* detectionOf(const std::vector<DetectedMarker>& list,
                                         const SynthMarkerTruth& t)
{
    double cx = 0.0, cy = 0.0;
    for (int k = 0; k < 4; k++) {
        cx += t.observedCorners[k][0] / 4.0;
        cy += t.observedCorners[k][1] / 4.0;
    }
    const double span = std::hypot(t.observedCorners[0][0] - t.observedCorners[2][0],
                                   t.observedCorners[0][1] - t.observedCorners[2][1]);
    for (const DetectedMarker& m : list)
        if (std::hypot(m.centroid[0] - cx, m.centroid[1] - cy) < span / 4.0) return &m;
    return nullptr;
}
