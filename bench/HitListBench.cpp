#include "net/HitList.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "AllocationCount.h"
#include "ProcessStats.h"

// What one stored hit costs: the bytes our code asks for per node, and what the process grows
// by per node once the allocator's own overhead is in. The addresses go in ascending, the way
// an ascending sweep's replies mostly come, so the walk from the end stays short.
int main(int argc, char** argv) {
    const long count = argc > 1 ? std::atol(argv[1]) : 100000;
    if (count < 1 || count > 16000000) {
        std::fprintf(stderr, "usage: brixle_hitlist_bench [COUNT up to 16000000]\n");
        return 2;
    }
    HitList hits;
    const ProcessStats before = readProcessStats();
    const long long bytesBefore = allocatedBytes();
    const long long blocksBefore = allocatedBlocks();
    const long long unsizedBefore = unsizedDeletes();
    const auto start = std::chrono::steady_clock::now();
    long stored = 0;
    for (long n = 0; n < count; ++n) {
        const int o1 = static_cast<int>(n >> 16 & 0xFF), o2 = static_cast<int>(n >> 8 & 0xFF);
        if (hits.insert(new IpAddress(10, o1, o2, static_cast<int>(n & 0xFF))))
            ++stored;
    }
    const double took =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const ProcessStats after = readProcessStats();
    const long long bytes = allocatedBytes() - bytesBefore;
    const long long blocks = allocatedBlocks() - blocksBefore;

    std::printf("hits_stored %ld\n", stored);
    std::printf("blocks_per_hit %.2f\n", static_cast<double>(blocks) / static_cast<double>(stored));
    if (unsizedDeletes() == unsizedBefore)
        std::printf("requested_bytes_per_hit %.1f\n",
                    static_cast<double>(bytes) / static_cast<double>(stored));
    else
        std::printf("requested_bytes_per_hit unknown (deletes without their size)\n");
    std::printf("node_struct_bytes %zu\n", sizeof(HitNode));
    std::printf("process_bytes_per_hit %.1f\n",
                static_cast<double>(after.privateKib - before.privateKib) * 1024.0 /
                    static_cast<double>(stored));
    std::printf("resident_bytes_per_hit %.1f\n",
                static_cast<double>(after.residentKib - before.residentKib) * 1024.0 /
                    static_cast<double>(stored));
    std::printf("insert_ns %.0f\n", took * 1e9 / static_cast<double>(stored));
    return stored == count ? 0 : 1;
}
