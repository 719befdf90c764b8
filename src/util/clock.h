#pragma once
// Clocks and the process-wide network CPU counter. Any thread. nowMs and
// threadCpuMs are read per audio block: each is one clock read, never allocates,
// locks or blocks.
namespace bridge {

double nowMs();          // monotonic milliseconds; only differences mean anything
double threadCpuMs();    // CPU milliseconds of the calling thread
double processCpuMs();   // user + system CPU milliseconds of the whole process
void addNetCpuMs(double ms);  // adds ms, cut toward zero to whole microseconds
double netCpuMs();       // CPU milliseconds spent on network threads so far

}  // namespace bridge
