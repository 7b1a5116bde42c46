// Frames as text: one line per row, each pixel as its blue, green and red
// bytes in hex ("ff0285 fe0288 ..."), so a mismatch shows pixel and channel.
#ifndef TCAP_TESTS_FRAME_TEXT_H
#define TCAP_TESTS_FRAME_TEXT_H

#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

inline std::string HexRows(const uint8_t* p, int width, int height) {
    std::string out;
    char px[8];
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x, p += 3) {
            snprintf(px, sizeof px, "%02x%02x%02x", p[0], p[1], p[2]);
            if (x) out += ' ';
            out += px;
        }
        out += '\n';
    }
    return out;
}

// A frame buffer with a guard band after the frame, filled with a marker
// byte, so that writes past width x height x 3 show up.
struct GuardedFrame {
    static constexpr size_t kGuard = 64;
    static constexpr uint8_t kMarker = 0xA5;
    explicit GuardedFrame(size_t frameBytes) : bytes(frameBytes), buf(frameBytes + kGuard, kMarker) {}
    uint8_t* data() { return buf.data(); }
    bool GuardIntact() const {
        for (size_t i = bytes; i < buf.size(); ++i)
            if (buf[i] != kMarker) return false;
        return true;
    }
    bool Untouched() const {
        for (uint8_t b : buf)
            if (b != kMarker) return false;
        return true;
    }
    size_t bytes;
    std::vector<uint8_t> buf;
};

#endif  // TCAP_TESTS_FRAME_TEXT_H
