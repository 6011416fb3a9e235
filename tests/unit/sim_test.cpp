// The capture stand-in's G.711 coders against the standard's tables, which the end-to-end
// scenes cannot be: they compare the service's output with what the stand-in recorded, so
// a code wrong on both sides passes there. (The HDMI-SPDIF layout is held to its worked
// example through the feed parser's round trip.)
#include "capture_gen.h"

#include "support/unit.h"

// The first and last sample of quantisation intervals at the segments' ends: A-law on 13
// bits (intervals 2, 2, 4 .. 128 wide; even bits inverted, sign bit 1 for positive), mu-law
// on 14 bits (1, then 2, 4 .. 256 wide, the top code from 8159 on; all bits inverted). A
// negative sample has the code of its one's complement, with the sign bit 0.
TEST(CaptureLayouts, G711CodesFollowTheStandardsTables) {
    std::string codes;
    for (int s : {0, 15, 16, 255, 256, 511, 512, 16383, 16384, 32767, -1, -16, -17, -32768})
        codes += std::to_string(capture::linear_to_alaw(static_cast<std::int16_t>(s))) + " ";
    for (int s : {0, 3, 4, 123, 124, 16251, 16252, 31611, 31612, 32767, -1, -4, -5, -32768})
        codes += std::to_string(capture::linear_to_ulaw(static_cast<std::int16_t>(s))) + " ";
    EXPECT_EQ(codes,
              "213 213 212 218 197 202 245 186 165 170 85 85 84 42 "      // A-law
              "255 255 254 240 239 144 143 129 128 128 127 127 126 0 ");  // mu-law
}
