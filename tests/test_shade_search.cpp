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
    ASSERT_GE(shippedMarkers().slots[3], 0);
    MarkOptions without = markRobustOptions();
    without.shadeSearch = 0;
    MarkOptions alone = markDefaultOptions();
    alone.shadeSearch = 1;
    const std::vector<IdentityTally> t =
        tallyHardLight({2, 8, 20}, {markRobustOptions(), without, alone, markDefaultOptions()});
    EXPECT_EQ(t[0].wrong, 0);
    EXPECT_EQ(t[0].misplaced, 0);
    EXPECT_GE(t[0].identified, t[1].identified + 6);
    EXPECT_EQ(t[2].wrong, 0);
    EXPECT_GT(t[2].identified, t[3].identified);
}

}  // namespace
