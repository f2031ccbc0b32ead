// Loaded before the C library into a run of the tool: the run sees as many CPUs as
// TESSARAN_SHIM_CPUS says, so that a test sees what the tool does on a machine larger than its own,
// and at its end the run's peak resident memory is written to the file TESSARAN_SHIM_PEAK names.
// It uses the C library alone, so that it adds next to nothing to the memory it reports.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" int sched_getaffinity(pid_t, std::size_t size, cpu_set_t* mask) {
    const char* wanted = std::getenv("TESSARAN_SHIM_CPUS");
    const int count = wanted != nullptr ? std::atoi(wanted) : 1;
    CPU_ZERO_S(size, mask);
    for (int cpu = 0; cpu < count && static_cast<std::size_t>(cpu) < size * 8; ++cpu) {
        CPU_SET_S(cpu, size, mask);
    }
    return 0;
}

// The kernel counts the peak of this program alone, since it was started: a parent's pages, which
// a child shares until it starts a program, are not in it.
__attribute__((destructor)) static void write_peak() {
    const char* to = std::getenv("TESSARAN_SHIM_PEAK");
    char status[4096] = {};
    const int in = ::open("/proc/self/status", O_RDONLY | O_CLOEXEC);
    const ssize_t got = in < 0 ? -1 : ::read(in, status, sizeof status - 1);
    const char* peak = got > 0 ? std::strstr(status, "VmHWM:") : nullptr;
    FILE* out = to != nullptr && peak != nullptr ? std::fopen(to, "w") : nullptr;
    if (out != nullptr) {
        std::fprintf(out, "%ld\n", std::atol(peak + 6));
        std::fclose(out);
    }
    if (in >= 0) {
        ::close(in);
    }
}
