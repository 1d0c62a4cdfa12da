// The soak: programs that parse and free the same big document round after
// round, the ways users run them, each in a process of its own. Prints, per
// program, the resident memory after rounds 5 and 25 (from /proc/self/statm),
// the median parse (CPU time of the parsing thread) of the first and the
// last five rounds, and the page faults a round over the last five.
//
// Usage: pool_soak [ROUNDS [MEGABYTES [PROGRAM...]]]   (default 25, 20, all)
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "ZUVDOM.h"
#include "ZUVDOMElement.h"
#include "ZUVLog.h"
#include "ZUVPool.h"
#include "ZUVString.h"
#include "bench_documents.h"

namespace {

const ZUVString* big = nullptr;
std::vector<ZUVString> smalls;

long residentBytes() {
    long pages = 0, resident = 0;
    std::FILE* statm = std::fopen("/proc/self/statm", "r");
    if (!statm) return 0;
    if (std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
    std::fclose(statm);
    return resident * sysconf(_SC_PAGESIZE);
}

// CPU time of this thread, page faults included: on a shared machine the
// wall clock also counts the time other processes held the core.
double threadMilliseconds() {
    timespec time;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &time);
    return static_cast<double>(time.tv_sec) * 1e3 + static_cast<double>(time.tv_nsec) * 1e-6;
}

// One parse, timed on the thread that makes it.
struct Timed {
    ZUVDOMElement* root;
    double ms;
};
Timed parse(const ZUVString& text) {
    ZUVLog log(nullptr);
    ZUVDOM dom(&log);
    double start = threadMilliseconds();
    ZUVDOMElement* root = dom.parseString(text);
    double took = threadMilliseconds() - start;
    if (!root) {
        std::fprintf(stderr, "the document was refused\n");
        std::exit(1);
    }
    return {root, took};
}

// A program: set up once, then one round a call; returns the parse time of
// the big document in that round.
struct Program {
    const char* name;
    std::function<std::function<double()>()> make;
};

std::vector<Program> programs() {
    return {
        {"one thread alone",
         [] {
             return [] {
                 Timed t = parse(*big);
                 delete t.root;
                 return t.ms;
             };
         }},
        {"thread per request",
         [] {
             return [] {
                 double ms[2];
                 std::thread a([&] {
                     Timed t = parse(*big);
                     delete t.root;
                     ms[0] = t.ms;
                 });
                 std::thread b([&] {
                     Timed t = parse(*big);
                     delete t.root;
                     ms[1] = t.ms;
                 });
                 a.join();
                 b.join();
                 return (ms[0] + ms[1]) / 2;
             };
         }},
        {"freed on another thread",
         [] {
             return [] {
                 Timed t{nullptr, 0};
                 std::thread producer([&] { t = parse(*big); });
                 producer.join();
                 std::thread consumer([&] { delete t.root; });
                 consumer.join();
                 return t.ms;
             };
         }},
        {"one other thread once",
         [] {
             std::thread([] { delete parse(ZUVString("<a><b/></a>")).root; }).join();
             return [] {
                 Timed t = parse(*big);
                 delete t.root;
                 return t.ms;
             };
         }},
        {"one block kept alive",
         [] {
             // The log keeps its last message in a pool block.
             static ZUVLog log(nullptr);
             static ZUVDOM dom(&log);
             delete dom.parseString(ZUVString("<a><b></a>"));
             return [] {
                 for (int i = 0; i < 1000; ++i)
                     delete parse(ZUVString("<m id=\"1\"><to>x</to><body>hello</body></m>")).root;
                 Timed t = parse(*big);
                 delete t.root;
                 return t.ms;
             };
         }},
        {"reload",
         [] {
             auto current = std::make_shared<ZUVDOMElement*>(parse(*big).root);
             return [current] {
                 Timed t = parse(*big);
                 delete *current;
                 *current = t.root;
                 return t.ms;
             };
         }},
        {"cache of trees",
         [] {
             auto cache = std::make_shared<std::vector<ZUVDOMElement*>>(50, nullptr);
             auto rng = std::make_shared<std::mt19937>(3);
             return [cache, rng] {
                 for (int i = 0; i < 100; ++i) {
                     ZUVDOMElement*& slot = (*cache)[(*rng)() % cache->size()];
                     delete slot;
                     slot = parse(smalls[(*rng)() % smalls.size()]).root;
                 }
                 Timed t = parse(*big);
                 delete t.root;
                 return t.ms;
             };
         }},
        {"big and small in turn",
         [] {
             return [] {
                 Timed t = parse(*big);
                 delete t.root;
                 for (int i = 0; i < 2000; ++i)
                     delete parse(smalls[static_cast<size_t>(i) % smalls.size()]).root;
                 return t.ms;
             };
         }},
    };
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

long pageFaults() {
    rusage usage;
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt + usage.ru_majflt;
}

void run(const Program& program, int rounds) {
    std::function<double()> round = program.make();
    std::vector<double> ms;
    std::vector<long> resident, faults;
    for (int r = 0; r < rounds; ++r) {
        ms.push_back(round());
        resident.push_back(residentBytes());
        faults.push_back(pageFaults());
    }
    int early = std::min(rounds, 5);
    std::vector<double> first(ms.begin(), ms.begin() + early);
    std::vector<double> last(ms.end() - early, ms.end());
    double mb = 1024.0 * 1024.0;
    // Page faults a round over the last five rounds.
    long lastFaults = (faults.back() - faults[faults.size() - static_cast<size_t>(early)]) /
                      std::max(early - 1, 1);
    std::printf("| %s | %.0f | %.0f | %+.1f%% | %.0f | %.0f | %+.1f%% | %.0f | %ld |\n",
                program.name, static_cast<double>(resident[static_cast<size_t>(early - 1)]) / mb,
                static_cast<double>(resident.back()) / mb,
                100.0 * (static_cast<double>(resident.back()) /
                             static_cast<double>(resident[static_cast<size_t>(early - 1)]) -
                         1),
                median(first), median(last), 100.0 * (median(last) / median(first) - 1),
                static_cast<double>(ZUVPool::getSlabBytes()) / mb, lastFaults);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? std::atoi(argv[1]) : 25;
    size_t megabytes = argc > 2 ? static_cast<size_t>(std::atol(argv[2])) : 20;
    std::string text = makeRecords(megabytes * 1000 * 1000, 20240601);
    big = new ZUVString(text.c_str(), static_cast<int>(text.size()));
    for (int i = 0; i < 40; ++i) {
        std::string small = makeRecords(1000 + static_cast<size_t>(i) * 500, 7 + i);
        smalls.emplace_back(small.c_str(), static_cast<int>(small.size()));
    }
    std::printf(
        "| program (%zu MB, %d rounds) | MB resident, round %d | round %d | growth | "
        "parse ms, first 5 | last 5 | change | pool MB at end | faults a round |\n",
        megabytes, rounds, std::min(rounds, 5), rounds);
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
    std::fflush(stdout);
    // Each program in a process of its own, forked before any thread starts.
    for (const Program& program : programs()) {
        bool wanted = argc <= 3;
        for (int i = 3; i < argc; ++i)
            wanted |= std::strcmp(argv[i], program.name) == 0;
        if (!wanted) continue;
        pid_t child = fork();
        if (child == 0) {
            run(program, rounds);
            std::_Exit(0);
        }
        int status = 0;
        waitpid(child, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            std::printf("| %s | failed |\n", program.name);
    }
    return 0;
}
