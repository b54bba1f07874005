#include "app/driver.h"
#include "model/settings.h"

int main(int argc, char** argv) {
#if defined(ZELMOR_PLAIN_MAIN)
  zelmor::usePlainKernels = true;
#endif
  return zelmor::runDriver(argc, argv);
}
