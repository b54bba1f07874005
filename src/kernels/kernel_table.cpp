#include "kernels/kernel_table.h"

#include <cstdlib>
#include <cstring>

#include "kernels/kernel_targets.h"

namespace zelmor {

namespace {

constexpr KernelTable kScalarTable{.isa = Isa::Scalar,
                                   .pointDensities = &pointDensitiesPlain,
                                   .identityDensities = &identityDensitiesPlain,
                                   .columnDensities = &columnDensitiesPlain,
                                   .columnIdentityDensities = &columnIdentityDensitiesPlain,
                                   .addRowsRun = &addRowsRunPlain,
                                   .addPackedRun = nullptr,
                                   .packedDims = 0,
                                   .packedSlots = nullptr,
                                   .collectNeededDensities = &collectNeededDensitiesPlain,
                                   .spaceMask = &spaceMaskPlain,
                                   .tailListPositions = &tailListPositionsPlain,
                                   .rankAscending = &rankAscendingPlain,
                                   .divideShares = &divideSharesPlain,
                                   .addRowProducts = &addRowProductsPlain};

constexpr Isa kAllIsas[] = {Isa::Scalar, Isa::Sse4, Isa::Avx2, Isa::Avx512, Isa::Neon, Isa::Sve, Isa::Sve2};

}  // namespace

const KernelTable& kernelTable(Isa isa) {
  const KernelTable* table = vectorKernelTable(isa);
  return table != nullptr ? *table : kScalarTable;
}

std::vector<Isa> supportedIsas() {
  std::vector<Isa> supported;
  for (const Isa isa : kAllIsas) {
    if (isa == Isa::Scalar || vectorKernelTable(isa) != nullptr) supported.push_back(isa);
  }
  return supported;
}

Isa bestIsa() { return supportedIsas().back(); }

const char* isaName(Isa isa) {
  switch (isa) {
    case Isa::Scalar:
      return "scalar";
    case Isa::Sse4:
      return "sse4";
    case Isa::Avx2:
      return "avx2";
    case Isa::Avx512:
      return "avx512";
    case Isa::Neon:
      return "neon";
    case Isa::Sve:
      return "sve";
    case Isa::Sve2:
      return "sve2";
  }
  return "scalar";
}

IsaChoice chooseIsa(const char* requested) {
  const std::vector<Isa> supported = supportedIsas();
  if (requested == nullptr || *requested == '\0') return {supported.back(), {}};
  std::string choices;
  for (const Isa isa : supported) {
    if (std::strcmp(requested, isaName(isa)) == 0) return {isa, {}};
    choices += choices.empty() ? "" : ", ";
    choices += isaName(isa);
  }
  return {supported.back(), std::string("zelmor: ZELMOR_ISA=") + requested +
                                " names no kernel set this build runs on this processor (" + choices + "); using " +
                                isaName(supported.back()) + "\n"};
}

IsaChoice isaFromEnvironment() { return chooseIsa(std::getenv("ZELMOR_ISA")); }

}  // namespace zelmor
