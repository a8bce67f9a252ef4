// family: designing sets of marker pictures that the detector, and a person, can tell
// apart, and checking them on rendered camera views. Used by `tarlim-marker family`.
//
// A design is a 5 x 5 grid of black or white blocks covering the whole picture: bold
// enough to survive the detector's 16 x 16 sampling of a marker 24 pixels across, and
// limited to at most two black and three white pieces (four for families above 16;
// 4-connected), so that designs read as shapes rather than noise. Candidates come from
// a seeded generator of our own, so a seed always gives the same family. They join the
// family greedily when they keep the correlation limits (also on a quick model of the
// small blurred view); then every member is rendered and identified, and members that
// fail are replaced until the family passes.
//
// Result codes: 0 success, -1 failure; nothing here prints. Uses the detector's stages
// and the installed camera (camParamInit), so it is single-threaded.
#pragma once

#include "tools/toolkit.h"

#include <cstdint>
#include <string>
#include <vector>

constexpr int kFamilyGrid = 5;           // blocks per side
constexpr int kFamilyPictureSide = 160;  // picture texels per side: 32 per block
constexpr int kFamilyCountMax = 48;      // the pattern table holds 50
constexpr int kFamilyViewModels = 2;     // small blurred views modelled per design
// Largest correlation allowed between two members (over all orientations) and between
// a member and its own quarter, half and three-quarter turns.
constexpr double kFamilyPairMaxSmall = 0.35;  // families of up to 16
constexpr double kFamilyPairMaxLarge = 0.40;  // larger families
constexpr double kFamilySelfMax = 0.35;

// One square the detector found on a rendered view of a member: its sample, and for
// each orientation whether reporting it would put the picture's top where it is.
struct FamilySquare {
    uint8_t sample[kPatternValues];
    bool rightTurn[kPatternOrientations];
};
struct FamilyView {
    std::vector<FamilySquare> squares;
};

// One member: its blocks (bit row * 5 + column set = black, row 0 the top), its picture
// and pattern.
struct FamilyMember {
    uint32_t blocks = 0;
    ToolNormalised models[kFamilyViewModels];  // the design as seen small and blurred
                                               // (a quick estimate, family.cpp)
    std::vector<FamilyView>
        views;  // rendered views (familyRenderViews)  // the design as seen small and blurred (family.cpp)
    SynthImage picture;
    ToolPattern pattern;
    ToolNormalised normalised;
};

// How the members fared on rendered views; one record per member.
struct FamilyViewStats {
    int views = 0;              // rendered views of this member
    int own = 0;                // identified as itself, with the right orientation
    int wrongTurn = 0;          // identified as itself but with a wrong orientation
    int other = 0;              // identified as another member (confidence >= 0.5)
    int unrecognised = 0;       // no square found, or best confidence below 0.5
    double lowestOwn = 1.0;     // lowest confidence among the `own` views
    double highestOther = 0.0;  // highest confidence given to another member on its views
};

// The rendering conditions of the check.
constexpr int kFamilyViewSizes[2] = {24, 48};  // marker side in pixels
constexpr int kFamilyViewTurns = 8;            // in-plane turns, 45 degrees apart
constexpr int kFamilyViewPlaces = 4;           // sub-pixel offsets and noise seeds per turn
constexpr double kFamilyViewBlur = 1.0;        // pixels (Gaussian sigma)
constexpr double kFamilyViewNoise = 6.0;       // grey levels (Gaussian sigma)
constexpr int kFamilyViewThreshold = 100;      // the shipped configuration's threshold
constexpr double kFamilyOwnRateMin = 0.99;     // share of views that must be `own`

// Draws the picture of a block grid.
void familyPicture(uint32_t blocks, SynthImage* picture);

// Renders a member in every view condition (kFamilyViewSizes x kFamilyViewTurns x
// kFamilyViewPlaces) and finds its squares with the detector's stages into
// member->views. Installs the view cameras with camParamInit. Returns 0, or -1 when a
// frame cannot be rendered.
int familyRenderViews(FamilyMember* member);

// Identifies every square of every member's rendered views among `members` as
// patternMatch would; stats gets one record per member.
void familyScoreViews(const std::vector<FamilyMember>& members,
                      std::vector<FamilyViewStats>* stats);

// True when the stats meet the family's bar: every member identified as itself, with
// the right orientation, in at least kFamilyOwnRateMin of its views, never as another.
bool familyViewsPass(const std::vector<FamilyViewStats>& stats);

// Designs `count` (1 ... kFamilyCountMax) members from `seed`: members meet the
// correlation limits and the rendered check (familyViewsPass); *stats holds the check's
// records. Returns 0, or -1 when no such family was found within the search budget;
// *why then says what ran out.
int familyDesign(int count, uint32_t seed, std::vector<FamilyMember>* members,
                 std::vector<FamilyViewStats>* stats, std::string* why);
