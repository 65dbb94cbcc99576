/* Wall-clock timing of repeated calls, shared by the round-trip programs. */
#pragma once

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

static inline double bench_now_us(void) {
  struct timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (double)t.tv_sec * 1e6 + (double)t.tv_nsec / 1e3;
}

static inline int bench_compare(const void* a, const void* b) {
  const double x = *(const double*)a, y = *(const double*)b;
  return (x > y) - (x < y);
}

/* Sorts `samples` and prints "<name> runs=N median_us=.. p10_us=.. p90_us=.. min_us=..". */
static inline void bench_report(const char* name, double* samples, size_t count) {
  qsort(samples, count, sizeof *samples, bench_compare);
  const double median =
      count % 2 ? samples[count / 2] : (samples[count / 2 - 1] + samples[count / 2]) / 2;
  printf("%s runs=%zu median_us=%.1f p10_us=%.1f p90_us=%.1f min_us=%.1f\n", name, count, median,
         samples[count / 10], samples[count * 9 / 10], samples[0]);
}
