#include "app/driver.h"
#include "core/settings.h"

int main(int argc, char** argv) {
#if defined(ZELMOR_PLAIN_MAIN)
  constexpr zelmor::Kernels kKernels = zelmor::Kernels::Plain;
#else
  constexpr zelmor::Kernels kKernels = zelmor::Kernels::Fast;
#endif
  return zelmor::runDriver(argc, argv, kKernels);
}
