// util: the few operating-system services the viewer needs beyond the C++ library.
#pragma once

// Suspends the calling thread for `milliseconds` milliseconds (0 or less returns at
// once). Used by the frame loop (2 ms when no frame is ready) and the display's
// start-up pause (500 ms).
void utilSleep(int milliseconds);
