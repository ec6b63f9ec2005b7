// The library's only visible symbols: the two exports of the process contract.
#include <cstring>
#include <new>

#include "QORTechAecNr.h"
#include "QORTechClarix.h"
#include "QORTechConvolution.h"
#include "QORTechLuxSnd.h"
#include "QORTechNUV.h"
#include "QORTechPassthrough.h"
#include "QORTechPeq.h"
#include "QORTechSpeakerProtection.h"
#include "QORTechZR3D.h"
#include "chain/QORTechProcess.h"

namespace {

QORTechProcessBase* Make(const char* techId) {
  if (std::strcmp(techId, QORTechPassthrough::kTechId) == 0) return new QORTechPassthrough;
  if (std::strcmp(techId, QORTechZR3D::kTechId) == 0) return new QORTechZR3D;
  if (std::strcmp(techId, QORTechSpeakerProtection::kTechId) == 0) {
    return new QORTechSpeakerProtection;
  }
  if (std::strcmp(techId, QORTechNUV::kTechId) == 0) return new QORTechNUV;
  if (std::strcmp(techId, QORTechConvolution::kTechId) == 0) return new QORTechConvolution;
  if (std::strcmp(techId, QORTechLuxSnd::kTechId) == 0) return new QORTechLuxSnd;
  if (std::strcmp(techId, QORTechPeq::kTechId) == 0) return new QORTechPeq;
  if (std::strcmp(techId, QORTechAecNr::kTechId) == 0) return new QORTechAecNr;
  if (std::strcmp(techId, QORTechClarix::kTechId) == 0) return new QORTechClarix;
  return nullptr;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) bool QORTechCreateProcess(const char* techId,
                                                                            TechProcess** process) {
  if (techId == nullptr || process == nullptr) return false;
  QORTechProcessBase* created = Make(techId);
  *process = created;
  return created != nullptr;
}

extern "C" __attribute__((visibility("default"))) bool QORTechDestroyProcess(TechProcess* process) {
  // Every process handed out derives from the library's base, which has the virtual destructor.
  auto* own = static_cast<QORTechProcessBase*>(process);
  delete own;
  return own != nullptr;
}

// The exported functions must match the contract's types.
static_assert(std::is_same_v<decltype(&QORTechCreateProcess), QORTechCreateProcessFunction>);
static_assert(std::is_same_v<decltype(&QORTechDestroyProcess), QORTechDestroyProcessFunction>);
