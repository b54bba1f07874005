#include "model/settings.h"

namespace zelmor {

int32_t MaxLoopNum = 5;
int32_t basedim = 0;
bool usePlainKernels = false;

}  // namespace zelmor
