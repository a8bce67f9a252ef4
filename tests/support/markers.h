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

// Markers of the frame identified with their own pattern, those of them whose corner c0
// (the picture's top-left) lies more than 2 px from the true one (turned the wrong way),
// and identities reported where no marker with that picture is.
struct IdentityTally {
    int identified = 0;
    int misplaced = 0;
    int wrong = 0;
};

inline IdentityTally tallyIdentities(const std::vector<DetectedMarker>& list,
                                     const SynthTruth& truth, const int* slots)
{
    IdentityTally t;
    for (int i = 0; i < truth.markerCount; i++) {
        const DetectedMarker* m = detectionOf(list, truth.markers[i]);
        if (m == nullptr || slots[i % 4] < 0 || m->patternId != slots[i % 4]) continue;
        t.identified++;
        const double* c0 = m->cornerPoints[(4 - m->direction) % 4];
        const double* true0 = truth.markers[i].idealCorners[0];
        t.misplaced += std::hypot(c0[0] - true0[0], c0[1] - true0[1]) > 2.0;
    }
    for (const DetectedMarker& m : list) {
        if (m.patternId < 0) continue;
        bool right = false;
        for (int i = 0; i < truth.markerCount; i++)
            right =
                right || (detectionOf(list, truth.markers[i]) == &m && m.patternId == slots[i % 4]);
        t.wrong += !right;
    }
    return t;
}

// Identity tallies of the shipped markers on hard-light frames `frames` under each of
// `options` (in that order), summed over the frames; each frame is rendered once. A frame
// that cannot be rendered fails the test and counts nothing.
inline std::vector<IdentityTally> tallyHardLight(const std::vector<int>& frames,
                                                 const std::vector<MarkOptions>& options)
{
    std::vector<IdentityTally> sums(options.size());
    for (int index : frames) {
        static SynthScene scene;
        SynthImage frame;
        SynthTruth truth;
        if (!renderHardLight(index, &scene, &frame, &truth)) {
            ADD_FAILURE() << "hard-light frame " << index << " not rendered";
            continue;
        }
        for (size_t k = 0; k < options.size(); k++) {
            const IdentityTally t =
                tallyIdentities(detectWith(frame, options[k]), truth, shippedMarkers().slots);
            sums[k].identified += t.identified;
            sums[k].misplaced += t.misplaced;
            sums[k].wrong += t.wrong;
        }
    }
    return sums;
}
