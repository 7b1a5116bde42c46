// Renders plasma frames for chosen frame counters and tick counts to PNG, to
// look at what hosts will see. Usage:
//   render_plasma OUT.png WIDTH HEIGHT D T1
#include <stdio.h>
#include <stdlib.h>

#include <vector>

#include "fast_paths.h"

#define STB_IMAGE_WRITE_IMPLEMENTATION
#include <stb/stb_image_write.h>

int main(int argc, char** argv) {
    if (argc != 6) {
        fprintf(stderr, "usage: %s OUT.png WIDTH HEIGHT D T1\n", argv[0]);
        return 2;
    }
    const int w = atoi(argv[2]), h = atoi(argv[3]);
    const int32_t d = static_cast<int32_t>(strtol(argv[4], nullptr, 0));
    const int32_t t1 = static_cast<int32_t>(strtol(argv[5], nullptr, 0));
    if (tcap::FrameBytes(w, h) <= 0) {
        fprintf(stderr, "%s: bad size %dx%d\n", argv[0], w, h);
        return 2;
    }
    std::vector<uint8_t> frame(size_t(w) * size_t(h) * 3);
    tcap::PaintPlasma(frame.data(), w, h, d, t1);
    for (size_t i = 0; i < frame.size(); i += 3) {  // blue, green, red -> red, green, blue
        const uint8_t b = frame[i];
        frame[i] = frame[i + 2];
        frame[i + 2] = b;
    }
    if (!stbi_write_png(argv[1], w, h, 3, frame.data(), w * 3)) {
        fprintf(stderr, "%s: cannot write %s\n", argv[0], argv[1]);
        return 1;
    }
    return 0;
}
