// libFuzzer harness: reads its input as a sequence of entry-point calls with
// arguments, as a careless or hostile host might make them, and checks after
// every call what a host relies on. Built with ASan and UBSan, so a stray
// write or undefined behaviour stops it too.
//
// Input format, repeated until the bytes run out: one opcode byte, then the
// call's arguments. A "picked" 32-bit argument is one byte naming an
// interesting value, or 0xff followed by four raw little-endian bytes.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>

#include "gettickcount.h"
#include "lin_tcap.h"
#include "tcap_internal.h"

#define CHECK(cond, ...)                                                      \
    do {                                                                      \
        if (!(cond)) {                                                        \
            fprintf(stderr, "check failed: %s: ", #cond);                     \
            fprintf(stderr, __VA_ARGS__);                                     \
            fputc('\n', stderr);                                              \
            __builtin_trap();                                                 \
        }                                                                     \
    } while (0)

namespace {

// The wall clock the plug-in reads; moved only by the input.
int64_t g_usec = 0;

}  // namespace

extern "C" int gettimeofday(struct timeval* __restrict tv, void* __restrict /*tz*/) noexcept {
    tv->tv_sec = static_cast<time_t>(g_usec / 1000000);
    tv->tv_usec = static_cast<suseconds_t>(g_usec % 1000000);
    return 0;
}

namespace {

constexpr int32_t kInteresting[] = {
    0, 1, 2, 3, 4, 5, 9, 15, 16, 17, 63, 64, 65, 120, 160, 240, 320, 999, 1000, 1001, 1023, 1024, 1025, 2047,
    2049, 46340, 46341, 65535, 65536, 357913941, 715827882, 715827883, 0x40000000, INT32_MAX, -1, -2, -1000,
    -1001, INT32_MIN, INT32_MIN + 1,
};
constexpr size_t kNumInteresting = sizeof(kInteresting) / sizeof(kInteresting[0]);

// Frames larger than this are set and refused or accepted, but not read:
// painting hundreds of megabytes per call would stall the search.
constexpr int64_t kMaxReadBytes = 1 << 16;

class Reader {
public:
    Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    bool Empty() const { return n_ == 0; }
    uint8_t Byte() {
        if (!n_) return 0;
        --n_;
        return *p_++;
    }
    int32_t Raw32() {
        uint32_t v = 0;
        for (int i = 0; i < 4; ++i) v |= uint32_t{Byte()} << (8 * i);
        return static_cast<int32_t>(v);
    }
    int32_t Picked() {
        const uint8_t b = Byte();
        return b == 0xff ? Raw32() : kInteresting[b % kNumInteresting];
    }

private:
    const uint8_t* p_;
    size_t n_;
};

// What the plug-in should be doing, tracked independently of it. The frame
// counter and the clock base outlive the plug-in's manager, so they outlive
// one input here too.
struct Model {
    bool open = false;
    int32_t width = 0, height = 0;
    uint32_t input = 0;
    uint32_t offset = 0;
    const VideoFormatInfo* record = nullptr;

    static uint32_t d;
    static uint32_t first;

    // The tick count the plug-in must read now.
    static uint32_t Tick() {
        const uint32_t sec = static_cast<uint32_t>(static_cast<uint64_t>(g_usec / 1000000));
        if (first == 0) first = sec - 1u;
        return (sec - first) * 1000u + static_cast<uint32_t>(g_usec % 1000000) / 1000u;
    }
    int64_t Bytes() const { return int64_t{width} * height * 3; }
};
uint32_t Model::d = 0;
uint32_t Model::first = 0;

bool Accepts(int32_t w, int32_t h) { return w >= 0 && h >= 0 && int64_t{w} * h <= INT32_MAX / 3; }

void CheckIdentity() {
    CHECK(strcmp(Get_Vendor(), "Quorvane, Inc.") == 0, "vendor");
    CHECK(strcmp(Get_Description(), "Video Test Capture Plugin") == 0, "description");
    CHECK(Get_Media_Type() == 2 && Get_Media_Source() == 2, "media");
    CHECK(Get_Version() == 0x10001000 && Query_Num_Inputs() == 4 && Query_Device_Handles() == 0, "version");
    CHECK(Validate_Source("") == 1, "validate");
}

void CheckFormat(Model& m) {
    const VideoFormatInfo* f = Get_Video_Format();
    if (!m.open) {
        CHECK(f == nullptr, "closed plug-in handed out a record");
        return;
    }
    CHECK(f != nullptr, "open plug-in has no record");
    if (m.record) CHECK(f == m.record, "record moved while open");
    m.record = f;
    CHECK(f->nFormatCode == 2 && f->nBitDepth == 24, "code %d depth %d", f->nFormatCode, f->nBitDepth);
    CHECK(f->nWidth == m.width && f->nHeight == m.height, "record %dx%d, last accepted %dx%d", f->nWidth,
          f->nHeight, m.width, m.height);
}

struct HostPacket {
    VideoPacket k;
    uint32_t after[4];  // the host's record goes on past the seven words
};

HostPacket Sentinels(uint8_t* data) {
    HostPacket h;
    h.k.ulHeadWord0 = 0x11111111u;
    h.k.ulHeadWord1 = 0x22222222u;
    h.k.ulTimestamp = 0x33333333u;
    h.k.ulHostWord3 = 0x44444444u;
    h.k.ulDataSize = 0x55555555u;
    h.k.ulHostWord5 = 0x66666666u;
    h.k.pData = data;
    for (uint32_t& w : h.after) w = 0x77777777u;
    return h;
}

void CheckPacketUnchanged(const HostPacket& h, uint8_t* data) {
    const HostPacket s = Sentinels(data);
    CHECK(memcmp(&h, &s, sizeof h) == 0, "a refused read wrote the packet");
}

void CheckFrame(const Model& m, uint32_t tick1, const uint8_t* p, size_t n) {
    constexpr uint8_t kSolid[3][3] = {{0, 0, 255}, {0, 255, 0}, {255, 0, 0}};
    if (m.input >= 1 && m.input <= 3) {
        const uint8_t* c = kSolid[m.input - 1];
        for (size_t i = 0; i < n; i += 3)
            CHECK(p[i] == c[0] && p[i + 1] == c[1] && p[i + 2] == c[2], "input %u pixel %zu", m.input, i / 3);
    } else if (m.input >= 4) {
        for (size_t i = 0; i < n; ++i) CHECK(p[i] == 0xA5, "input %u painted byte %zu", m.input, i);
    } else if (n) {
        // The plasma, byte for byte as the straightforward painter makes it.
        uint8_t* expected = static_cast<uint8_t*>(malloc(n));
        CHECK(expected != nullptr, "out of memory");
        tcap::PaintPlasmaReference(expected, m.width, m.height, static_cast<int32_t>(Model::d),
                                   static_cast<int32_t>(tick1));
        for (size_t i = 0; i < n; ++i)
            CHECK(p[i] == expected[i], "plasma %dx%d d=%d T1=%d: byte %zu is %u, not %u", m.width, m.height,
                  static_cast<int32_t>(Model::d), static_cast<int32_t>(tick1), i, p[i], expected[i]);
        free(expected);
    }
}

void ReadFrame(Model& m) {
    if (m.open && m.Bytes() > kMaxReadBytes) return;
    const size_t n = m.open ? static_cast<size_t>(m.Bytes()) : 48;
    // Exactly the frame, as a host allocates it: ASan reports any byte past it.
    uint8_t* data = static_cast<uint8_t*>(malloc(n));
    CHECK(data != nullptr, "out of memory");
    memset(data, 0xA5, n);
    HostPacket h = Sentinels(data);
    const int32_t r = Read_Packet(&h.k);
    if (!m.open) {
        CHECK(r != 0, "closed plug-in read a frame");
        CheckPacketUnchanged(h, data);
        for (size_t i = 0; i < n; ++i) CHECK(data[i] == 0xA5, "closed plug-in painted");
    } else {
        ++Model::d;
        const uint32_t tick = Model::Tick();
        CHECK(r == 0, "read answered %d", r);
        CHECK(h.k.ulHeadWord0 == 1 && h.k.ulHeadWord1 == 1, "header words");
        CHECK(h.k.ulHostWord3 == 0x44444444u && h.k.ulHostWord5 == 0x66666666u, "host words changed");
        for (uint32_t w : h.after) CHECK(w == 0x77777777u, "wrote past the packet's seven words");
        CHECK(h.k.pData == data, "pData changed");
        CHECK(h.k.ulDataSize == n, "data size %u for a %zu-byte frame", h.k.ulDataSize, n);
        CHECK(h.k.ulTimestamp == tick + m.offset + 15u, "timestamp %u, expected %u", h.k.ulTimestamp,
              tick + m.offset + 15u);
        CheckFrame(m, tick, data, n);  // the clock stands still within a call
    }
    free(data);
}

void Step(Reader& in, Model& m) {
    switch (in.Byte() % 15) {
        case 0:
            CHECK(Open_Plugin() == 0, "open");
            if (!m.open) m = Model{true};
            break;
        case 1:
            Close_Plugin();
            m = Model{};
            break;
        case 2: {
            const int32_t w = in.Picked(), h = in.Picked();
            const VideoFormatInfo f = {in.Picked(), w, h, in.Picked()};
            const bool accepted = m.open && Accepts(w, h);
            CHECK(Set_Video_Format(&f) == (accepted ? 1 : 0), "%dx%d", w, h);
            if (accepted) {
                m.width = w;
                m.height = h;
            }
            break;
        }
        case 3:
            CHECK(Set_Video_Format(nullptr) == 0, "null record accepted");
            break;
        case 4:
            CheckFormat(m);
            break;
        case 5: {
            const int32_t input = in.Picked();
            CHECK(Open_Source(nullptr, input) == (m.open ? 0 : 1), "open source");
            if (m.open) m.input = static_cast<uint32_t>(input);
            break;
        }
        case 6:
            CHECK(Start_Source() == (m.open ? 0 : 1), "start");
            if (m.open) m.offset = Model::Tick();
            break;
        case 7: {
            const int32_t t = in.Raw32();
            Set_Current_Time(t);
            if (m.open) m.offset = static_cast<uint32_t>(t) - Model::Tick();
            break;
        }
        case 8: {
            int32_t (*const controls[])() = {Stop_Source, Pause_Source, Resume_Source, Set_Video_Frame_Rate};
            CHECK(controls[in.Byte() % 4]() == 0, "control");
            break;
        }
        case 9:
            ReadFrame(m);
            break;
        case 10:
            CHECK(Read_Packet(nullptr) != 0, "null packet accepted");
            break;
        case 11: {
            HostPacket h = Sentinels(nullptr);
            CHECK(Read_Packet(&h.k) != 0, "null buffer accepted");
            CheckPacketUnchanged(h, nullptr);
            break;
        }
        case 12: {
            // The wall clock moves by milliseconds or by whole seconds, either way.
            const uint8_t mode = in.Byte();
            const int64_t delta = int64_t{in.Raw32()} * (mode & 1 ? 1000000 : 1000);
            if (__builtin_add_overflow(g_usec, delta, &g_usec)) g_usec = INT64_MAX / 2;
            if (g_usec < 0) g_usec = -(g_usec + 1);  // the time of day is never before 1970
            break;
        }
        case 13: {
            const int32_t i = in.Picked();
            const char* name = Input_Description(i);
            const char* const names[] = {"Psychadelic", "Red", "Green", "Blue"};
            if (static_cast<uint32_t>(i) < 4)
                CHECK(name && strcmp(name, names[i]) == 0, "input %d named %s", i, name ? name : "(null)");
            else
                CHECK(name == nullptr, "input %d has a name", i);
            break;
        }
        case 14:
            CHECK(GetTickCount() == Model::Tick(), "tick count");
            break;
    }
    CheckIdentity();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Close_Plugin();
    g_usec = int64_t{1765000000} * 1000000;
    Model m;
    Reader in(data, size);
    while (!in.Empty()) Step(in, m);
    Close_Plugin();
    return 0;
}
