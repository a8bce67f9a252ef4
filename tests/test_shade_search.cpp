// The shade search (option shadeSearch) on hard-light frames with deep shade and the dark
// sides of shadows' edges: markers whose rings one threshold per pixel breaks up or joins
// to shadowed paper are named there, each with its own pattern and the right way round,
// and nothing is named where no marker with that picture is.
#include "tests/support/markers.h"

#include <gtest/gtest.h>

namespace {

// Frames 2, 8 and 20 of the hard-light set: most of frame 8 and parts of the others lie in
// shade whose paper reads 5 to 45 grey levels. The preset without the search leaves 7 of
// their markers unnamed that it names with it; on its own, over the exact defaults, the
// search names markers too and never a wrong one.
TEST(ShadeSearch, NamesMarkersInDeepShadeAndNothingWrong)
{
    const ShippedMarkers& shipped = shippedMarkers();
    ASSERT_GE(shipped.slots[3], 0);
    MarkOptions without = markRobustOptions();
    without.shadeSearch = 0;
    MarkOptions alone = markDefaultOptions();
    alone.shadeSearch = 1;
    int with = 0, before = 0, exact = 0, exactWith = 0;
    for (int index : {2, 8, 20}) {
        static SynthScene scene;
        SynthImage frame;
        SynthTruth truth;
        ASSERT_TRUE(renderHardLight(index, &scene, &frame, &truth));
        const IdentityTally a =
            tallyIdentities(detectWith(frame, markRobustOptions()), truth, shipped.slots);
        EXPECT_EQ(a.wrong, 0) << "frame " << index;
        EXPECT_EQ(a.misplaced, 0) << "frame " << index;
        with += a.identified;
        before += tallyIdentities(detectWith(frame, without), truth, shipped.slots).identified;
        const IdentityTally b = tallyIdentities(detectWith(frame, alone), truth, shipped.slots);
        EXPECT_EQ(b.wrong, 0) << "frame " << index;
        exactWith += b.identified;
        exact += tallyIdentities(detectWith(frame, markDefaultOptions()), truth, shipped.slots)
                     .identified;
    }
    EXPECT_GE(with, before + 6);
    EXPECT_GT(exactWith, exact);
}

}  // namespace
