// The plug-in's host interface: the built library loaded with dlopen and
// called by name, as a host does, with the wall clock replaced by a fake one.
//
// This executable exports its own gettimeofday, so the library's call to it
// resolves here. It also exports a decoy GetTickCount: the library must keep
// calling its own.
#include <gtest/gtest.h>
#include <malloc.h>
#include <pthread.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <time.h>

#include <memory>
#include <string>
#include <vector>

#include "frames.h"
#include "plugin_library.h"

namespace fake {
bool on = true;
int64_t usec = 0;      // the wall clock, in microseconds
int64_t stepUsec = 0;  // how far each reading moves it on
int readings = 0;

void At(int64_t sec, int64_t us = 0) { usec = sec * 1000000 + us; }
}  // namespace fake

extern "C" int gettimeofday(struct timeval* __restrict tv, void* __restrict /*tz*/) noexcept {
    if (!fake::on) {
        timespec ts;
        clock_gettime(CLOCK_REALTIME, &ts);
        tv->tv_sec = ts.tv_sec;
        tv->tv_usec = static_cast<suseconds_t>(ts.tv_nsec / 1000);
        return 0;
    }
    ++fake::readings;
    tv->tv_sec = static_cast<time_t>(fake::usec / 1000000);
    tv->tv_usec = static_cast<suseconds_t>(fake::usec % 1000000);
    fake::usec += fake::stepUsec;
    return 0;
}

extern "C" uint32_t GetTickCount(void) { return 0xDEADBEEFu; }

namespace {


VideoPacket PacketFor(uint8_t* data) {
    VideoPacket k;
    k.ulHeadWord0 = 0x11111111u;
    k.ulHeadWord1 = 0x22222222u;
    k.ulTimestamp = 0x33333333u;
    k.ulHostWord3 = 0x44444444u;
    k.ulDataSize = 0x55555555u;
    k.ulHostWord5 = 0x66666666u;
    k.pData = data;
    return k;
}

bool SameWords(const VideoPacket& a, const VideoPacket& b) {
    return a.ulHeadWord0 == b.ulHeadWord0 && a.ulHeadWord1 == b.ulHeadWord1 && a.ulTimestamp == b.ulTimestamp &&
           a.ulHostWord3 == b.ulHostWord3 && a.ulDataSize == b.ulDataSize && a.ulHostWord5 == b.ulHostWord5 &&
           a.pData == b.pData;
}

class InterfaceTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::on = true;
        fake::At(1765000000);
        fake::stepUsec = 0;
        fake::readings = 0;
        Load();
    }
    void TearDown() override {
        if (p.Close_Plugin) p.Close_Plugin();
        // Every test gets a freshly loaded library: frame counter and clock
        // base start from zero again only if the old one really went away.
        EXPECT_TRUE(Unload()) << "the library stayed mapped after dlclose";
    }

    void Load() {
        std::string error;
        library = tcap_host::PluginLibrary::Load(TCAP_PLUGIN_PATH, &error);
        ASSERT_TRUE(library) << error;
        p = library->Api();
        ASSERT_NE(p.GetTickCount, nullptr);
    }

    // Unloads and tells whether the library really left the process.
    bool Unload() {
        library.reset();
        p = tcap_host::PluginApi();
        return !tcap_host::PluginLibrary::IsMapped(TCAP_PLUGIN_PATH);
    }

    void OpenWith(int32_t w, int32_t h, int32_t input) {
        ASSERT_EQ(p.Open_Plugin(), 0);
        const VideoFormatInfo f = {2, w, h, 24};
        ASSERT_EQ(p.Set_Video_Format(&f), 1);
        ASSERT_EQ(p.Open_Source(nullptr, input), 0);
    }

    // Reads one frame of the current size into a guarded buffer.
    std::string ReadHex(int32_t w, int32_t h, VideoPacket* out = nullptr) {
        GuardedFrame f(BytesOf(w, h));
        VideoPacket k = PacketFor(f.data());
        EXPECT_EQ(p.Read_Packet(&k), 0);
        EXPECT_TRUE(f.GuardIntact());
        if (out) *out = k;
        return HexRows(f.data(), w, h);
    }

    uint32_t TimestampNow() {
        const VideoFormatInfo* f = p.Get_Video_Format();
        std::vector<uint8_t> frame(size_t(f->nWidth) * size_t(f->nHeight) * 3 + 1);
        VideoPacket k = PacketFor(frame.data());
        EXPECT_EQ(p.Read_Packet(&k), 0);
        return k.ulTimestamp;
    }

    std::unique_ptr<tcap_host::PluginLibrary> library;
    tcap_host::PluginApi p;  // the library's entry points
};

TEST_F(InterfaceTest, OpenTwiceKeepsOneManagerAndReopeningStartsAfresh) {
    ASSERT_EQ(p.Open_Plugin(), 0);
    const VideoFormatInfo f = {2, 320, 240, 24};
    ASSERT_EQ(p.Set_Video_Format(&f), 1);
    ASSERT_EQ(p.Open_Source(nullptr, 3), 0);
    p.Set_Current_Time(-777);
    ASSERT_EQ(p.Open_Plugin(), 0);  // keeps the open manager and its settings
    const VideoFormatInfo* info = p.Get_Video_Format();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->nWidth, 320);
    EXPECT_EQ(info->nHeight, 240);

    p.Close_Plugin();
    p.Close_Plugin();  // closing a closed plug-in does nothing
    ASSERT_EQ(p.Open_Plugin(), 0);
    info = p.Get_Video_Format();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->nWidth, 0);  // a fresh manager: no size, input 0, no time offset
    EXPECT_EQ(info->nHeight, 0);
    GuardedFrame empty(0);
    VideoPacket k = PacketFor(empty.data());
    EXPECT_EQ(p.Read_Packet(&k), 0);
    EXPECT_EQ(k.ulDataSize, 0u);
    EXPECT_TRUE(empty.Untouched());
    EXPECT_EQ(k.ulTimestamp, 1000u + 15u);  // the clock's first reading plus 15, no offset
    const VideoFormatInfo one = {2, 1, 1, 24};
    ASSERT_EQ(p.Set_Video_Format(&one), 1);
    EXPECT_EQ(ReadHex(1, 1), "ff028b\n");  // input 0 again; the second frame since loading
}

TEST_F(InterfaceTest, ClosedPluginTouchesNothing) {
    // Before the first Open_Plugin and after Close_Plugin alike.
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round ? "after Close_Plugin" : "before Open_Plugin");
        const VideoFormatInfo f = {2, 4, 4, 24};
        EXPECT_EQ(p.Set_Video_Format(&f), 0);
        EXPECT_EQ(p.Get_Video_Format(), nullptr);
        EXPECT_NE(p.Open_Source(nullptr, 1), 0);
        EXPECT_NE(p.Start_Source(), 0);
        p.Set_Current_Time(5000);
        for (auto control : {p.Stop_Source, p.Pause_Source, p.Resume_Source, p.Set_Video_Frame_Rate})
            EXPECT_EQ(control(), 0);
        GuardedFrame frame(48);
        VideoPacket k = PacketFor(frame.data());
        const VideoPacket before = k;
        EXPECT_NE(p.Read_Packet(&k), 0);
        EXPECT_TRUE(SameWords(k, before));
        EXPECT_TRUE(frame.Untouched());
        EXPECT_EQ(fake::readings, 0) << "a closed plug-in read the clock";
        if (round == 0) {
            ASSERT_EQ(p.Open_Plugin(), 0);
            p.Close_Plugin();
        }
    }
    // None of the refused reads advanced the frame counter.
    OpenWith(1, 1, 0);
    EXPECT_EQ(ReadHex(1, 1), "ff0285\n");
}

TEST_F(InterfaceTest, NullRecordsAreRefused) {
    OpenWith(8, 2, 1);
    EXPECT_EQ(p.Set_Video_Format(nullptr), 0);
    EXPECT_NE(p.Read_Packet(nullptr), 0);
    VideoPacket k = PacketFor(nullptr);
    const VideoPacket before = k;
    EXPECT_NE(p.Read_Packet(&k), 0);
    EXPECT_TRUE(SameWords(k, before));
    EXPECT_EQ(p.Get_Video_Format()->nWidth, 8);
    EXPECT_EQ(fake::readings, 0);
    ASSERT_EQ(p.Open_Source(nullptr, 0), 0);
    const VideoFormatInfo one = {2, 1, 1, 24};
    ASSERT_EQ(p.Set_Video_Format(&one), 1);
    EXPECT_EQ(ReadHex(1, 1), "ff0285\n");  // still the first frame
}

TEST_F(InterfaceTest, FormatRecordReportsCodeTwoAndDepth24) {
    ASSERT_EQ(p.Open_Plugin(), 0);
    const VideoFormatInfo odd = {7, 320, 240, 8};  // code and depth are not read
    ASSERT_EQ(p.Set_Video_Format(&odd), 1);
    VideoFormatInfo* info = p.Get_Video_Format();
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(info->nFormatCode, 2);
    EXPECT_EQ(info->nWidth, 320);
    EXPECT_EQ(info->nHeight, 240);
    EXPECT_EQ(info->nBitDepth, 24);

    // The same record every time, refreshed only by Get_Video_Format.
    const VideoFormatInfo smaller = {2, 160, 120, 24};
    ASSERT_EQ(p.Set_Video_Format(&smaller), 1);
    EXPECT_EQ(info->nWidth, 320);
    EXPECT_EQ(p.Get_Video_Format(), info);
    EXPECT_EQ(info->nWidth, 160);
    EXPECT_EQ(info->nHeight, 120);
}

TEST_F(InterfaceTest, RefusedSizesKeepThePreviousSize) {
    OpenWith(640, 480, 2);
    struct Case { int32_t w, h, accepted; };
    const Case cases[] = {
        {-1, 480, 0}, {640, -1, 0}, {INT32_MIN, INT32_MIN, 0},
        {715827883, 1, 0}, {46341, 46341, 0}, {INT32_MAX, INT32_MAX, 0},  // over 2^31 - 1 bytes
        {715827882, 1, 1}, {0, 0, 1}, {0, 480, 1}, {640, 0, 1}, {1, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << c.w << "x" << c.h);
        const VideoFormatInfo before = *p.Get_Video_Format();
        const VideoFormatInfo f = {2, c.w, c.h, 24};
        EXPECT_EQ(p.Set_Video_Format(&f), c.accepted);
        const VideoFormatInfo* info = p.Get_Video_Format();
        EXPECT_EQ(info->nWidth, c.accepted ? c.w : before.nWidth);
        EXPECT_EQ(info->nHeight, c.accepted ? c.h : before.nHeight);
    }
    // The last accepted size is 1 x 1.
    VideoPacket k;
    EXPECT_EQ(ReadHex(1, 1, &k), "00ff00\n");
    EXPECT_EQ(k.ulDataSize, 3u);
}

TEST_F(InterfaceTest, ZeroSizesPaintNothing) {
    for (int32_t input : {0, 1}) {
        for (auto size : {std::pair<int32_t, int32_t>{0, 0}, {0, 9}, {9, 0}, {0, INT32_MAX}, {INT32_MAX, 0}}) {
            SCOPED_TRACE(testing::Message() << "input " << input << " " << size.first << "x" << size.second);
            OpenWith(size.first, size.second, input);
            GuardedFrame f(0);
            VideoPacket k = PacketFor(f.data());
            EXPECT_EQ(p.Read_Packet(&k), 0);
            EXPECT_EQ(k.ulDataSize, 0u);
            EXPECT_TRUE(f.Untouched());
            p.Close_Plugin();
        }
    }
}

TEST_F(InterfaceTest, IdentityAnswersInEveryState) {
    const char* vendor = p.Get_Vendor();
    for (int state = 0; state < 3; ++state) {
        SCOPED_TRACE(state);
        if (state == 1) {
            ASSERT_EQ(p.Open_Plugin(), 0);
        }
        if (state == 2) p.Close_Plugin();
        EXPECT_STREQ(p.Get_Vendor(), "Quorvane, Inc.");
        EXPECT_EQ(p.Get_Vendor(), vendor);
        EXPECT_STREQ(p.Get_Description(), "Video Test Capture Plugin");
        EXPECT_EQ(p.Get_Media_Type(), 2);
        EXPECT_EQ(p.Get_Media_Source(), 2);
        EXPECT_EQ(p.Get_Version(), 0x10001000);
        EXPECT_EQ(p.Query_Num_Inputs(), 4);
        EXPECT_EQ(p.Query_Device_Handles(), 0);
        const char* const names[] = {"Psychadelic", "Red", "Green", "Blue"};
        for (int32_t i = 0; i < 4; ++i) EXPECT_STREQ(p.Input_Description(i), names[i]);
        for (int32_t i : {4, 5, -1, INT32_MIN, INT32_MAX}) EXPECT_EQ(p.Input_Description(i), nullptr) << i;
        for (const char* name : {"", "anything", "/dev/video0"}) EXPECT_EQ(p.Validate_Source(name), 1);
        EXPECT_EQ(p.Validate_Source(nullptr), 1);
    }
    EXPECT_EQ(fake::readings, 0);
}

TEST_F(InterfaceTest, SolidFramesByteForByte) {
    OpenWith(2, 2, 1);
    VideoPacket k;
    EXPECT_EQ(ReadHex(2, 2, &k), "0000ff 0000ff\n0000ff 0000ff\n");
    EXPECT_EQ(k.ulDataSize, 12u);

    struct Case { int32_t input; const char* pixel; };
    const Case cases[] = {{1, "0000ff"}, {2, "00ff00"}, {3, "ff0000"}};
    for (const Case& c : cases) {
        for (auto size : {std::pair<int32_t, int32_t>{1, 1}, {7, 5}, {67, 3}, {640, 480}}) {
            SCOPED_TRACE(testing::Message() << "input " << c.input << " " << size.first << "x" << size.second);
            ASSERT_EQ(p.Open_Source(nullptr, c.input), 0);
            const VideoFormatInfo f = {2, size.first, size.second, 24};
            ASSERT_EQ(p.Set_Video_Format(&f), 1);
            std::string row;
            for (int x = 0; x < size.first; ++x) row += (x ? " " : "") + std::string(c.pixel);
            std::string frame;
            for (int y = 0; y < size.second; ++y) frame += row + "\n";
            EXPECT_EQ(ReadHex(size.first, size.second, &k), frame);
            EXPECT_EQ(k.ulDataSize, uint32_t(size.first) * uint32_t(size.second) * 3u);
        }
    }
}

TEST_F(InterfaceTest, InputsOutsideTheTableStampThePacketButPaintNothing) {
    for (int32_t input : {4, 9, -1, INT32_MIN, INT32_MAX}) {
        SCOPED_TRACE(input);
        OpenWith(5, 3, input);
        GuardedFrame f(45);
        VideoPacket k = PacketFor(f.data());
        EXPECT_EQ(p.Read_Packet(&k), 0);
        EXPECT_TRUE(f.Untouched());
        EXPECT_EQ(k.ulHeadWord0, 1u);
        EXPECT_EQ(k.ulHeadWord1, 1u);
        EXPECT_EQ(k.ulDataSize, 45u);
        EXPECT_NE(k.ulTimestamp, 0x33333333u);
        EXPECT_EQ(k.ulHostWord3, 0x44444444u);  // the host's words stay as they were
        EXPECT_EQ(k.ulHostWord5, 0x66666666u);
        p.Close_Plugin();
    }
}

TEST_F(InterfaceTest, CounterAdvancesOncePerReadWhateverTheInput) {
    OpenWith(1, 1, 1);
    ReadHex(1, 1);
    ASSERT_EQ(p.Open_Source(nullptr, 4), 0);
    ReadHex(1, 1);
    ASSERT_EQ(p.Open_Source(nullptr, 2), 0);
    ReadHex(1, 1);
    ASSERT_EQ(p.Open_Source(nullptr, 0), 0);
    EXPECT_EQ(ReadHex(1, 1), "ff0297\n");  // d = 4: green entry 4, red entry 8
    p.Close_Plugin();
    OpenWith(1, 1, 0);  // closing does not reset the counter
    EXPECT_EQ(ReadHex(1, 1), "ff029e\n");  // d = 5
}

TEST_F(InterfaceTest, WorkedPlasmaFrame) {
    fake::At(100);
    EXPECT_EQ(p.GetTickCount(), 1000u);  // sets the clock's base to 99 s
    OpenWith(8, 4, 0);
    fake::At(104);  // the frame's tick count is 5000
    VideoPacket k;
    EXPECT_EQ(ReadHex(8, 4, &k),
              "ff0285 fe0288 fe028b fe028e fe0291 fe0294 fe0297 fe029b\n"
              "fe0288 fe028b fe028e fe0291 fe0294 fe0297 fe029b fe029e\n"
              "fe028b fe028e fe0291 fe0294 fe0297 fe029b fe029e fe02a1\n"
              "fe028e fe0291 fe0294 fe0297 fe029b fe029e fe02a1 fe02a4\n");
    EXPECT_EQ(k.ulTimestamp, 5015u);
    EXPECT_EQ(k.ulDataSize, 96u);
}

TEST_F(InterfaceTest, TimestampsFollowTheTimeOffset) {
    fake::At(100);  // base 99 s: tick count = (seconds - 99) * 1000 + ms
    ASSERT_EQ(p.GetTickCount(), 1000u);
    OpenWith(1, 1, 1);

    p.Set_Current_Time(5000);
    EXPECT_EQ(TimestampNow(), 5015u);
    fake::At(100, 40000);
    EXPECT_EQ(TimestampNow(), 5055u);  // 40 ms later

    fake::At(101);
    ASSERT_EQ(p.Start_Source(), 0);  // S = 2000; discards the time set above
    fake::At(101, 40000);
    EXPECT_EQ(TimestampNow(), 2u * 2000u + 55u);

    fake::At(102);
    p.Set_Current_Time(2000);  // offset -1000
    fake::At(104, 37000);      // T2 = 5037
    EXPECT_EQ(TimestampNow(), 4052u);

    p.Set_Current_Time(INT32_MAX);  // offsets and sums wrap modulo 2^32
    fake::At(104, 38000);
    EXPECT_EQ(TimestampNow(), uint32_t(INT32_MAX) + 1u + 15u);
    p.Set_Current_Time(INT32_MIN);
    EXPECT_EQ(TimestampNow(), uint32_t(INT32_MIN) + 15u);
}

TEST_F(InterfaceTest, EveryReadTakesTwoReadingsAndStampsTheSecond) {
    fake::At(100);
    ASSERT_EQ(p.GetTickCount(), 1000u);
    fake::stepUsec = 7000;  // each reading 7 ms after the one before
    for (int32_t input : {0, 1, 2, 3, 4, -1}) {
        SCOPED_TRACE(input);
        OpenWith(3, 2, input);
        const int before = fake::readings;
        const uint32_t t1 = uint32_t(fake::usec / 1000 - 99000);
        EXPECT_EQ(TimestampNow() - 15u, t1 + 7u);
        EXPECT_EQ(fake::readings - before, 2);
        p.Close_Plugin();
    }
}

TEST_F(InterfaceTest, ClockThroughTheLibrary) {
    fake::At(100, 250000);
    EXPECT_EQ(p.GetTickCount(), 1250u);
    fake::At(102, 999999);
    EXPECT_EQ(p.GetTickCount(), 3999u);
    EXPECT_EQ(p.GetTickCount(), 3999u);
    ASSERT_EQ(p.Open_Plugin(), 0);
    p.Close_Plugin();  // the base survives closing
    fake::At(103);
    EXPECT_EQ(p.GetTickCount(), 4000u);
    fake::At(98, 250000);  // set back before the base
    EXPECT_EQ(p.GetTickCount(), 4294966546u);
}

TEST_F(InterfaceTest, ReloadingStartsCounterAndClockAfresh) {
    fake::At(100);
    OpenWith(1, 1, 0);
    EXPECT_EQ(ReadHex(1, 1), "ff0285\n");
    EXPECT_EQ(ReadHex(1, 1), "ff028b\n");
    p.Close_Plugin();
    ASSERT_TRUE(Unload());
    Load();
    fake::At(5000, 123000);
    EXPECT_EQ(p.GetTickCount(), 1123u);
    OpenWith(1, 1, 0);
    EXPECT_EQ(ReadHex(1, 1), "ff0285\n");
}

// A thread whose stack is memory the test owns, filled with a marker, with an
// inaccessible page below it: an overflow faults, and afterwards the lowest
// overwritten byte tells how deep the stack went.
class MeasuredThread {
public:
    static constexpr size_t kPage = 4096;
    static constexpr uint8_t kMarker = 0x5a;

    explicit MeasuredThread(size_t stackBytes) : bytes_(stackBytes) {
        base_ = static_cast<uint8_t*>(
            mmap(nullptr, bytes_ + kPage, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        if (base_ == MAP_FAILED) base_ = nullptr;
        if (base_) {
            mprotect(base_, kPage, PROT_NONE);
            memset(base_ + kPage, kMarker, bytes_);
        }
    }
    ~MeasuredThread() {
        if (base_) munmap(base_, bytes_ + kPage);
    }

    // Runs fn(arg) on the thread; answers the bytes of stack it used, or 0 if
    // the thread could not be made.
    size_t Run(void* (*fn)(void*), void* arg) {
        if (!base_) return 0;
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstack(&attr, base_ + kPage, bytes_);
        pthread_t thread;
        const bool started = pthread_create(&thread, &attr, fn, arg) == 0;
        pthread_attr_destroy(&attr);
        if (!started) return 0;
        pthread_join(thread, nullptr);
        size_t untouched = 0;
        while (untouched < bytes_ && base_[kPage + untouched] == kMarker) ++untouched;
        return bytes_ - untouched;
    }

private:
    size_t bytes_;
    uint8_t* base_ = nullptr;
};

struct ReadOnThread {
    const tcap_host::PluginApi* api;
    VideoPacket* packet;
    int32_t result;
};

void* ReadPacketOnThread(void* arg) {
    auto* job = static_cast<ReadOnThread*>(arg);
    job->result = job->api->Read_Packet(job->packet);
    return nullptr;
}

#if defined(__SANITIZE_ADDRESS__)
#define TCAP_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TCAP_ASAN 1
#endif
#endif

// Hosts, 32-bit ones above all, give capture threads small stacks: Read_Packet
// paints on a thread with 32 KiB of stack and stays within 16 KiB of it.
class SmallStackTest : public InterfaceTest {
protected:
    void SetUp() override {
#ifdef TCAP_ASAN
        GTEST_SKIP() << "AddressSanitizer's frames and redzones make the stack deeper than the plug-in's own";
#endif
        InterfaceTest::SetUp();
        fake::At(100000);  // a tick count where the waves are strong
    }

    void ReadOnSmallStack(int32_t width, int32_t height, int32_t input) {
        SCOPED_TRACE(::testing::Message() << width << "x" << height << " input " << input);
        constexpr size_t kStack = 32 * 1024;
        constexpr size_t kBudget = 16 * 1024;
        OpenWith(width, height, input);
        const size_t bytes = BytesOf(width, height);
        // Pages cost nothing until painted: the widest frame is 2 GiB.
        void* frame = mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        ASSERT_NE(frame, MAP_FAILED) << "no room for a frame of " << bytes << " bytes";
        VideoPacket k = PacketFor(static_cast<uint8_t*>(frame));
        ReadOnThread job = {&p, &k, -1};
        MeasuredThread thread(kStack);
        const size_t used = thread.Run(ReadPacketOnThread, &job);
        EXPECT_EQ(job.result, 0);
        EXPECT_EQ(k.ulDataSize, bytes);
        EXPECT_GT(used, 0u) << "the thread did not run";
        EXPECT_LE(used, kBudget) << "stack used: " << used << " bytes";
        std::printf("  %dx%d input %d: %zu bytes of the thread's stack used\n", width, height, input, used);
        munmap(frame, bytes);
        p.Close_Plugin();
    }
};

TEST_F(SmallStackTest, PaintsCommonAndWideFrames) {
    ReadOnSmallStack(1920, 1080, 0);
    ReadOnSmallStack(4096, 2160, 0);
    ReadOnSmallStack(1 << 20, 2, 0);  // many strips, past the table of sines
    ReadOnSmallStack(4096, 2160, 2);
}

// The widest frame accepted is 715827882 x 1: every one of its columns needs
// a sinl of its own, some two minutes of work here and far more under an
// emulator, so it runs natively on x86-64 only.
TEST_F(SmallStackTest, PaintsTheWidestFrame) {
    if (sizeof(void*) < 8) GTEST_SKIP() << "715827882 sinl calls take too long under an emulator";
    ReadOnSmallStack(715827882, 1, 0);
}

TEST_F(InterfaceTest, ThousandsOfOpenCloseCyclesStayFreshAndLeakNothing) {
    fake::At(100);
    ASSERT_EQ(p.GetTickCount(), 1000u);
    constexpr int kCycles = 3000;
    size_t inUse = 0;
    for (int i = 0; i < kCycles; ++i) {
        ASSERT_EQ(p.Open_Plugin(), 0);
        const VideoFormatInfo* info = p.Get_Video_Format();
        ASSERT_EQ(info->nWidth, 0) << "cycle " << i;  // a fresh manager every time
        ASSERT_EQ(info->nHeight, 0);
        const VideoFormatInfo f = {2, 16, 4, 24};
        ASSERT_EQ(p.Set_Video_Format(&f), 1);
        ASSERT_EQ(p.Open_Source(nullptr, i % 5), 0);
        fake::At(100 + i);
        ASSERT_EQ(TimestampNow(), 1000u * unsigned(i + 1) + 15u);  // the clock base survives, no offset
        p.Close_Plugin();
        if (i == 0) inUse = mallinfo2().uordblks;
    }
    EXPECT_EQ(mallinfo2().uordblks, inUse);  // nothing piles up from one cycle to the next
    OpenWith(1, 1, 0);
    EXPECT_EQ(ReadHex(1, 1), "ff91aa\n");  // the counter went on through every cycle: d = 3001
}

TEST_F(InterfaceTest, RealClockStartsNearOneSecond) {
    fake::on = false;
    const uint32_t first = p.GetTickCount();
    EXPECT_GE(first, 1000u);
    EXPECT_LE(first, 1999u);
    EXPECT_GE(p.GetTickCount(), first);
}

}  // namespace
