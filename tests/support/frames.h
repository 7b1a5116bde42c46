// Frames for tests: buffers with guard bands on both sides, frames as hex
// text, and a comparison that names the first differing pixel and channel.
#ifndef TCAP_TESTS_SUPPORT_FRAMES_H
#define TCAP_TESTS_SUPPORT_FRAMES_H

#include <gtest/gtest.h>
#include <stdint.h>
#include <stdio.h>

#include <string>
#include <vector>

// Bytes of a width x height frame; 0 for empty or negative sizes.
inline size_t BytesOf(int32_t width, int32_t height) {
    return width > 0 && height > 0 ? static_cast<size_t>(width) * static_cast<size_t>(height) * 3 : 0;
}

// One line per row, each pixel as its blue, green and red bytes in hex
// ("ff0285 fe0288 ..."), so a mismatch shows pixel and channel.
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

// A frame buffer with a guard band before and after it, filled with a marker
// byte, so that writes outside width x height x 3 show up. data()[i] for
// i from bytes() on reads the guard after the frame.
class GuardedFrame {
public:
    static constexpr size_t kGuard = 64;
    static constexpr uint8_t kMarker = 0xA5;

    explicit GuardedFrame(size_t frameBytes) : bytes_(frameBytes), buf_(frameBytes + 2 * kGuard, kMarker) {}

    uint8_t* data() { return buf_.data() + kGuard; }
    const uint8_t* data() const { return buf_.data() + kGuard; }
    size_t bytes() const { return bytes_; }

    bool GuardIntact() const {
        for (size_t i = 0; i < kGuard; ++i)
            if (buf_[i] != kMarker || buf_[kGuard + bytes_ + i] != kMarker) return false;
        return true;
    }
    bool Untouched() const {
        for (uint8_t b : buf_)
            if (b != kMarker) return false;
        return true;
    }

private:
    size_t bytes_;
    std::vector<uint8_t> buf_;
};

// Whether two frames of `bytes` bytes and `width` pixels a row agree; if not,
// which pixel and channel differ first and how many bytes differ.
inline ::testing::AssertionResult SameFrame(const uint8_t* expected, const uint8_t* actual, size_t bytes,
                                            int32_t width) {
    size_t first = bytes;
    size_t count = 0;
    for (size_t i = 0; i < bytes; ++i) {
        if (expected[i] != actual[i] && count++ == 0) first = i;
    }
    if (count == 0) return ::testing::AssertionSuccess();
    static const char* const kChannels[] = {"blue", "green", "red"};
    const size_t pixel = first / 3;
    const size_t w = width > 0 ? static_cast<size_t>(width) : 1;
    char text[200];
    snprintf(text, sizeof text, "pixel x=%zu y=%zu %s: expected 0x%02x, found 0x%02x (%zu bytes differ)", pixel % w,
             pixel / w, kChannels[first % 3], expected[first], actual[first], count);
    return ::testing::AssertionFailure() << text;
}

#endif  // TCAP_TESTS_SUPPORT_FRAMES_H
