// Frame production timings: every picture at 640x480 and 1920x1080, beside
// memset of the same frame and the reference plasma painter, all measured in
// one run. After Google Benchmark's own table comes a summary in nanoseconds
// per pixel and as ratios, which is what the targets are stated in.
//
// Compare figures only within one run: the machine's speed drifts between
// quiet and busy periods.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "fast_paths.h"
#include "tcap_internal.h"

namespace {

// Both waves near their strongest: |cos(d/23)| and |sin(d/10)| above
// 0.9999, sin^2(T1/71000) 0.97 and sin^2(T1/60000) 0.99. Both amplitudes
// are negative, so the sums dip below zero near the first row and column.
constexpr int32_t kStrongD = 19148;
constexpr int32_t kStrongT1 = 100000;

enum class Picture { kMemset, kSolid, kReference, kFast, kSse2, kScalar };

struct Case {
    std::string name;
    int32_t width;
    int32_t height;
    Picture picture;
    int32_t t1;
    std::string label;  // for the summary
};

std::vector<Case> g_cases;
std::map<std::string, double> g_nsPerPixel;  // by benchmark name

void Run(benchmark::State& state, const Case& c) {
    const size_t bytes = static_cast<size_t>(c.width) * static_cast<size_t>(c.height) * 3;
    std::vector<uint8_t> frame(bytes, 1);
    // As Read_Packet paints every frame after the first one: with the
    // manager's table of column and row sines already filled.
    static tcap::SineTable sines = {};
    tcap::FillSineTable(&sines, c.width > c.height ? c.width : c.height);
    int32_t d = kStrongD;
    for (auto _ : state) {
        switch (c.picture) {
            case Picture::kMemset:
                memset(frame.data(), d & 0xff, bytes);
                break;
            case Picture::kSolid:
                tcap::FillSolid(frame.data(), static_cast<int32_t>(bytes), 0, 0, 255);
                break;
            case Picture::kReference:
                tcap::PaintPlasmaReference(frame.data(), c.width, c.height, d, c.t1);
                break;
            case Picture::kFast:
                tcap::PaintPlasma(frame.data(), c.width, c.height, d, c.t1, &sines);
                break;
            case Picture::kSse2:
                tcap::PaintPlasmaOn(tcap::SimdPath::kSse2, frame.data(), c.width, c.height, d, c.t1, &sines);
                break;
            case Picture::kScalar:
                tcap::PaintPlasmaOn(tcap::SimdPath::kScalar, frame.data(), c.width, c.height, d, c.t1, &sines);
                break;
        }
        benchmark::DoNotOptimize(frame.data());
        benchmark::ClobberMemory();
        // Keep d where the waves are strongest: every frame costs the same.
        d = kStrongD + (d == kStrongD);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

void AddCases(int32_t width, int32_t height) {
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    const struct {
        Picture picture;
        int32_t t1;
        const char* name;
        const char* label;
    } kPictures[] = {
        {Picture::kMemset, 0, "memset", "memset of the frame"},
        {Picture::kSolid, 0, "solid", "solid fill (FillSolid)"},
        {Picture::kReference, kStrongT1, "reference/T1=100000", "reference plasma, strong waves"},
        {Picture::kReference, 0, "reference/T1=0", "reference plasma, no waves"},
        {Picture::kFast, kStrongT1, "plasma/T1=100000", "plasma (PaintPlasma), strong waves"},
        {Picture::kFast, 0, "plasma/T1=0", "plasma (PaintPlasma), no waves"},
        {Picture::kSse2, kStrongT1, "plasma-sse2/T1=100000", "plasma on the SSE2 path, strong waves"},
        {Picture::kSse2, 0, "plasma-sse2/T1=0", "plasma on the SSE2 path, no waves"},
        {Picture::kScalar, kStrongT1, "plasma-scalar/T1=100000", "plasma on the path without SSE2, strong waves"},
        {Picture::kScalar, 0, "plasma-scalar/T1=0", "plasma on the path without SSE2, no waves"},
    };
    for (const auto& p : kPictures) {
        g_cases.push_back({size + "/" + p.name, width, height, p.picture, p.t1, p.label});
    }
}

// Google Benchmark's table as usual, then the summary.
class SummaryReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type != Run::RT_Iteration || run.error_occurred || run.iterations == 0) continue;
            const std::string name = run.benchmark_name();
            for (const Case& c : g_cases) {
                if (name.rfind(c.name, 0) != 0) continue;
                const double pixels = static_cast<double>(c.width) * c.height;
                g_nsPerPixel[c.name] = run.real_accumulated_time / static_cast<double>(run.iterations) / pixels * 1e9;
            }
        }
    }

    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nSummary: wall time per frame, in ns per pixel and as ratios within this run\n");
        std::printf("%-10s %-48s %9s %10s %13s\n", "frame", "picture", "ns/px", "x memset", "ref / this");
        for (const Case& c : g_cases) {
            const std::string size = std::to_string(c.width) + "x" + std::to_string(c.height);
            const auto it = g_nsPerPixel.find(c.name);
            if (it == g_nsPerPixel.end()) continue;
            const auto base = g_nsPerPixel.find(size + "/memset");
            std::printf("%-10s %-48s %9.3f", size.c_str(), c.label.c_str(), it->second);
            if (base != g_nsPerPixel.end()) std::printf(" %10.2f", it->second / base->second);
            if (c.picture == Picture::kFast || c.picture == Picture::kSse2 || c.picture == Picture::kScalar) {
                const auto ref = g_nsPerPixel.find(size + "/reference/T1=" + std::to_string(c.t1));
                if (ref != g_nsPerPixel.end()) std::printf(" %13.1f", ref->second / it->second);
            }
            std::printf("\n");
        }
        const tcap::SimdPath path = tcap::ChosenPath();
        std::printf("plasma path taken by PaintPlasma here: %s\n",
                    path == tcap::SimdPath::kAvx512 ? "AVX-512"
                    : path == tcap::SimdPath::kSse2 ? "SSE2"
                                                      : "scalar");
    }
};

}  // namespace

int main(int argc, char** argv) {
    AddCases(640, 480);
    AddCases(1920, 1080);
    for (const Case& c : g_cases) {
        benchmark::RegisterBenchmark(c.name.c_str(), [&c](benchmark::State& state) { Run(state, c); })
            ->Unit(benchmark::kMicrosecond)
            ->UseRealTime();
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    SummaryReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
