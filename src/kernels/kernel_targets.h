// What the kernel table is filled from (only kernel_table.cpp and the kernels
// themselves include this): the plain twins, which make the scalar table,
// and the vector tables, one per compiled instruction set.
#pragma once

#include <cstdint>

#include "kernels/kernel_table.h"

namespace zelmor {

void pointDensitiesPlain(const float* const* points, int count, const float* mean, const double* inverseFull,
                         float normaliser, int32_t d, float* densities, double* tScratch);
void identityDensitiesPlain(const float* const* points, int count, const float* mean, float normaliser, int32_t d,
                            float* densities, double* tScratch);
void columnDensitiesPlain(const float* columns, int64_t stride, int64_t count, const float* mean,
                          const double* inverseFull, float normaliser, int32_t d, float* densities, double* tScratch);
void columnIdentityDensitiesPlain(const float* columns, int64_t stride, int64_t count, const float* mean,
                                  float normaliser, int32_t d, float* densities);
void addRowsRunPlain(WideSums& sums, const float* const* points, const float* r, int64_t count, const float* mean);
int64_t collectNeededDensitiesPlain(const float* x, const SkipTable& table, int32_t* needed);
uint64_t spaceMaskPlain(const char* at);
int64_t tailListPositionsPlain(const int16_t* needed, int64_t count, const int16_t* tailItems, int64_t tail, int64_t m,
                               int32_t* positions, int16_t* clusters);
void divideSharesPlain(float* values, int64_t count, double sum);
void addRowProductsPlain(float* levels, const double* values, int64_t count, double factor);
void rankAscendingPlain(const float* values, const int32_t* ids, int64_t n, float* outValues, int32_t* outIds);

// The table of a vector instruction set, or null where this build lacks it
// or this processor does not run it.
const KernelTable* vectorKernelTable(Isa isa);

// KernelTable::addPackedRun and packedSlots for 512-bit vectors and for
// 256-bit ones (x86 builds only).
void addPackedRunWidest(WideSums& sums, const float* const* points, const float* r, int64_t count, const float* mean);
int32_t packedSlotsWidest(int32_t d, int32_t* slots);
void addPackedRunQuad(WideSums& sums, const float* const* points, const float* r, int64_t count, const float* mean);
int32_t packedSlotsQuad(int32_t d, int32_t* slots);

}  // namespace zelmor
