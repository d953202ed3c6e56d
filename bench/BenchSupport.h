#pragma once

#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>

/** The peak resident memory of this process so far, in MiB. */
inline double peakRssMb()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_maxrss) / 1024.0;
}

/**
 * The seconds every processor of the machine has spent busy since it started (user, nice, system, interrupts), from
 * /proc/stat; the server on the same machine included. -1 when it cannot be read.
 */
inline double machineBusySeconds()
{
    std::FILE* stat = std::fopen("/proc/stat", "r");
    if (!stat)
        return -1;
    unsigned long long user = 0, nice = 0, system = 0, idle = 0, iowait = 0, irq = 0, softirq = 0;
    const int read = std::fscanf(stat, "cpu %llu %llu %llu %llu %llu %llu %llu", &user, &nice, &system, &idle, &iowait,
                                 &irq, &softirq);
    std::fclose(stat);
    if (read != 7)
        return -1;
    return double(user + nice + system + irq + softirq) / double(sysconf(_SC_CLK_TCK));
}
