// Frame production timings: every picture at 640x480 and 1920x1080, beside
// memset of the same frame and the reference plasma painter, all measured in
// one run. After Google Benchmark's own table comes a summary in nanoseconds
// per pixel and as ratios, which is what the targets are stated in.
//
// Compare figures only within one run: the machine's speed drifts between
// quiet and busy periods.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
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

enum class Picture { kMemset, kSolidDefinition, kSolid, kReference, kPlasma };

struct Case {
    std::string name;
    int32_t width;
    int32_t height;
    Picture picture;
    tcap::SimdPath path;  // for kSolid and kPlasma
    int32_t t1;
    std::string label;  // for the summary
};

std::vector<Case> g_cases;
std::map<std::string, double> g_nsPerPixel;  // by benchmark name

void Run(benchmark::State& state, const Case& c) {
    const size_t bytes = static_cast<size_t>(c.width) * static_cast<size_t>(c.height) * 3;
    std::vector<uint8_t> frame(bytes, 1);
    // As Read_Packet paints every frame after the first one: with the
    // manager's work area and its table of column and row sines filled.
    static tcap::PlasmaWork* const work = static_cast<tcap::PlasmaWork*>(calloc(1, sizeof(tcap::PlasmaWork)));
    tcap::FillSineTable(&work->sines, c.width > c.height ? c.width : c.height);
    int32_t d = kStrongD;
    for (auto _ : state) {
        switch (c.picture) {
            case Picture::kMemset:
                memset(frame.data(), d & 0xff, bytes);
                break;
            case Picture::kSolidDefinition:
                tcap::FillSolid(frame.data(), static_cast<int32_t>(bytes), 0, 0, 255);
                break;
            case Picture::kSolid:
                tcap::FillSolidOn(c.path, frame.data(), static_cast<int32_t>(bytes), 0, 0, 255);
                break;
            case Picture::kReference:
                tcap::PaintPlasmaReference(frame.data(), c.width, c.height, d, c.t1);
                break;
            case Picture::kPlasma:
                tcap::PaintPlasmaOn(c.path, work, frame.data(), c.width, c.height, d, c.t1);
                break;
        }
        benchmark::DoNotOptimize(frame.data());
        benchmark::ClobberMemory();
        // Keep d where the waves are strongest: every frame costs the same.
        d = kStrongD + (d == kStrongD);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(bytes));
}

// Every picture, and every path this CPU runs, forced.
void AddCases(int32_t width, int32_t height) {
    const std::string size = std::to_string(width) + "x" + std::to_string(height);
    const tcap::SimdPath none = tcap::SimdPath::kScalar;
    g_cases.push_back({size + "/memset", width, height, Picture::kMemset, none, 0, "memset of the frame"});
    g_cases.push_back({size + "/solid/definition", width, height, Picture::kSolidDefinition, none, 0,
                       "solid fill, FillSolid (portable)"});
    const tcap::SimdPath paths[] = {tcap::SimdPath::kSse2, tcap::SimdPath::kAvx2, tcap::SimdPath::kAvx512};
    for (tcap::SimdPath path : paths) {
        if (!tcap::PathRuns(path)) continue;
        const std::string name = tcap::PathName(path);
        g_cases.push_back({size + "/solid/" + name, width, height, Picture::kSolid, path, 0, "solid fill, " + name});
    }
    for (int32_t t1 : {kStrongT1, 0}) {
        const std::string waves = t1 ? "strong waves" : "no waves";
        g_cases.push_back({size + "/reference/T1=" + std::to_string(t1), width, height, Picture::kReference, none, t1,
                           "plasma, straightforward painter, " + waves});
        for (tcap::SimdPath path : {tcap::SimdPath::kScalar, tcap::SimdPath::kSse2, tcap::SimdPath::kAvx2,
                                    tcap::SimdPath::kAvx512}) {
            if (!tcap::PathRuns(path)) continue;
            const std::string name = tcap::PathName(path);
            g_cases.push_back({size + "/plasma-" + name + "/T1=" + std::to_string(t1), width, height,
                               Picture::kPlasma, path, t1, "plasma, " + name + " path, " + waves});
        }
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
            if (c.picture == Picture::kPlasma) {
                const auto ref = g_nsPerPixel.find(size + "/reference/T1=" + std::to_string(c.t1));
                if (ref != g_nsPerPixel.end()) std::printf(" %13.1f", ref->second / it->second);
            }
            std::printf("\n");
        }
        std::printf("path taken by Read_Packet on this CPU: %s\n", tcap::PathName(tcap::ChosenPath()));
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
