// The details window's reload of file_states.log: refresh_from_hostcache
// with a file of 1,000 records beside one of 10,000, in the same run, each
// reload from the call until its last row is in (read on the loader thread,
// rows added on the main loop), with the real pages of the tray under a
// headless X server. The two versions of each file differ by one byte, so
// every refresh finds the file changed. Run inside the test namespace:
//   tests/harness/nsrun.sh build/x86_64/bench/tray_refresh_bench
#include <benchmark/benchmark.h>
#include <gtk/gtk.h>

#include <time.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <string>

#include "desktop_session.hpp"
#include "tray_context.hpp"
#include "tray_views.hpp"

namespace {

constexpr char kStates[] = "/opt/korvane/HostCache/file_states.log";

std::string states_text(int records) {
    std::mt19937 rng(static_cast<unsigned>(records));
    const char* hex = "0123456789ABCDEF";
    const int states[] = {1, 2, 4, 5, 8, 9, 12, 17};
    std::string out = "{\n";
    for (int i = 0; i < records; ++i) {
        std::string id(64, '0');
        for (char& c : id)
            c = hex[rng() % 16];
        out += "  \"/home/user" + std::to_string(i % 50) + "/data/dir" + std::to_string(i % 977) + "/file_" +
               std::to_string(i) + ".bin\": {\"ID\": \"" + id + "\", \"Score\": \"-0." + std::to_string(i % 100) +
               "\", \"State\": " + std::to_string(states[rng() % 8]) + "}" + (i + 1 < records ? ",\n" : "\n");
    }
    return out + "}\n";
}

struct Tray {
    kv::ui::TrayContext ctx;
    GtkWidget* window = nullptr;
    Tray() {
        window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
        GtkWidget* notebook = gtk_notebook_new();
        gtk_container_add(GTK_CONTAINER(window), notebook);
        kv::ui::views_build_pages(ctx, GTK_NOTEBOOK(notebook));
        gtk_widget_show_all(window);
    }
    ~Tray() {
        kv::ui::views_teardown(ctx);
        gtk_widget_destroy(window);
    }
    // Until the last row is in the store the view shows.
    void refresh() {
        kv::ui::refresh_from_hostcache(ctx, 0x1);
        while (kv::ui::refresh_pending(ctx))
            (void)g_main_context_iteration(nullptr, TRUE);
    }
    // GTK's own deferred work (the view measuring its new rows), untimed.
    static void drain() {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
    }
};

Tray* g_tray = nullptr;
std::map<int, double> g_seconds;       // records -> mean wall seconds per refresh
std::map<int, double> g_cpu_seconds;   // records -> mean processor seconds (both threads)

double process_cpu() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

void BM_RefreshFileStates(benchmark::State& state) {
    const int records = static_cast<int>(state.range(0));
    const std::string a = states_text(records), b = a + " ";
    int n = 0;
    double total = 0, cpu = 0;
    for (auto _ : state) {
        {
            std::ofstream out(kStates, std::ios::trunc);
            out << ((n++ & 1) ? b : a);
        }
        Tray::drain();
        const double cpu_start = process_cpu();
        const auto start = std::chrono::steady_clock::now();
        g_tray->refresh();
        const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        cpu += process_cpu() - cpu_start;
        state.SetIterationTime(s);
        total += s;
    }
    g_seconds[records] = total / static_cast<double>(n);
    g_cpu_seconds[records] = cpu / static_cast<double>(n);
    state.counters["cpu_ms"] = g_cpu_seconds[records] * 1e3;
    state.counters["records"] = records;
}
BENCHMARK(BM_RefreshFileStates)->Arg(1000)->Arg(10000)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

int main(int argc, char** argv) {
    kv::test::DesktopOptions options;
    options.tray_host = false;
    options.notification_server = false;
    kv::test::DesktopSession desktop(options);
    if (desktop.start() != 0) {
        std::fprintf(stderr, "tray_refresh_bench: no headless desktop (run inside tests/harness/nsrun.sh)\n");
        return 1;
    }
    std::filesystem::create_directories("/opt/korvane/HostCache");
    gtk_init(&argc, &argv);
    benchmark::Initialize(&argc, argv);
    {
        Tray tray;
        g_tray = &tray;
        benchmark::RunSpecifiedBenchmarks();
        g_tray = nullptr;
    }
    benchmark::Shutdown();
    if (g_seconds.count(1000) != 0 && g_seconds.count(10000) != 0)
        std::printf("refresh of 10,000 records: %.1f ms wall, %.1f ms processor; ratio 10,000 / 1,000 records: "
                    "%.2f wall, %.2f processor (target <= 12)\n",
                    g_seconds[10000] * 1e3, g_cpu_seconds[10000] * 1e3, g_seconds[10000] / g_seconds[1000],
                    g_cpu_seconds[10000] / g_cpu_seconds[1000]);
    desktop.stop();
    return 0;
}
