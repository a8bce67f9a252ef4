// Which detection each configured marker takes in a frame.
#include "app/app.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

DetectedMarker detection(int patternId, double confidence)
{
    DetectedMarker d;
    std::memset(&d, 0, sizeof d);
    d.patternId = patternId;
    d.confidence = confidence;
    return d;
}

// Configures markers with the given pattern ids.
void configure(const std::vector<int>& ids)
{
    std::memset(&appConfig, 0, sizeof appConfig);
    appConfig.markerCount = static_cast<int>(ids.size());
    for (size_t k = 0; k < ids.size(); k++) appConfig.markers[k].patternId = ids[k];
}

std::vector<int> assign(const std::vector<DetectedMarker>& list)
{
    int assignment[kAppMaxMarkers];
    for (int& a : assignment) a = 99;  // entries beyond markerCount must stay as they were
    appAssignDetections(list.data(), static_cast<int>(list.size()), assignment);
    return std::vector<int>(assignment, assignment + kAppMaxMarkers);
}

TEST(Assign, TheMostConfidentDetectionOfTheIdWinsWhereverItIsInTheList)
{
    configure({3});
    EXPECT_EQ(assign({detection(3, 0.6), detection(3, 0.8)})[0], 1);
    EXPECT_EQ(assign({detection(3, 0.8), detection(3, 0.6)})[0], 0);
    // Equal confidence: the first in the list stays.
    EXPECT_EQ(assign({detection(3, 0.7), detection(3, 0.7)})[0], 0);
    // The boundary pair just around equality.
    EXPECT_EQ(assign({detection(3, 0.7), detection(3, 0.7000001)})[0], 1);
}

TEST(Assign, MarkersWithoutTheirIdInTheFrameGetNone)
{
    configure({0, 1, 2});
    const auto a = assign({detection(-1, 0.9), detection(2, 0.55), detection(7, 0.99)});
    EXPECT_EQ(a[0], -1) << "an unrecognised square (id -1) matches no marker";
    EXPECT_EQ(a[1], -1);
    EXPECT_EQ(a[2], 1);
    for (int k = 3; k < kAppMaxMarkers; k++)
        EXPECT_EQ(a[k], 99) << "entry " << k << " beyond markerCount";
    EXPECT_EQ(assign({})[0], -1) << "empty detection list";
}

TEST(Assign, EveryMarkerWithTheIdIsConsideredNotOnlyTheFirst)
{
    configure({4, 5, 4});
    const auto a = assign({detection(5, 0.6), detection(4, 0.9), detection(4, 0.95)});
    EXPECT_EQ(a[0], 2);
    EXPECT_EQ(a[1], 0);
    EXPECT_EQ(a[2], 2);
}

TEST(Assign, NoMarkersConfiguredWritesNothing)
{
    configure({});
    appConfig.markerCount = -2;
    const auto a = assign({detection(0, 0.9)});
    for (int k = 0; k < kAppMaxMarkers; k++) EXPECT_EQ(a[k], 99) << "entry " << k;
}

}  // namespace
