#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "endpoint/QORAPOEndpointInfo.h"
#include "engine/QORHostEngine.h"
#include "platform/QORGuid.h"

// What every front end finds before it starts an engine: the endpoint, the positions it runs and
// the module its classes are registered in. Configuration thread only.
class QORHostEngineSetup {
 public:
  // The index-th active render endpoint in the store's order, or the default one for index 0.
  static bool RenderEndpoint(uint32_t index, QORAPOEndpointInfo* out);
  // The active render endpoint of that GUID (a choice kept across sessions, which indices are not).
  static bool RenderEndpoint(const GUID& guid, QORAPOEndpointInfo* out);
  // The index-th active capture endpoint in the store's order, or the default one for index 0.
  static bool CaptureEndpoint(uint32_t index, QORAPOEndpointInfo* out);
  // Those among SFX, MFX and EFX with a class registered, in engine order; else the local-effect
  // position when it has one; else none.
  static std::vector<int> DefaultLocations(const QORAPOEndpointInfo& endpoint);
  // The module a class's registration names (its InprocServer32), or empty.
  static std::wstring RegisteredModule(const CLSID& clsid);
  // The objects at locations as a running engine: loaded from the module their registration
  // names (else fallbackModule), created, negotiated for channels at rate and locked for periods
  // of up to frames. Null with the reason otherwise.
  static std::unique_ptr<QORHostEngine> Start(const QORAPOEndpointInfo& endpoint,
                                              const std::vector<int>& locations,
                                              const std::wstring& fallbackModule, int channels,
                                              int rate, uint32_t frames, std::string* error);

 private:
  static bool Endpoint(bool render, uint32_t index, QORAPOEndpointInfo* out);
};
