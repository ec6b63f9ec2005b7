// The bundle's entry point: one LV2 descriptor per channel layout the objects accept.
#include <lv2/core/lv2.h>
#include <lv2/state/state.h>
#include <lv2/worker/worker.h>

#include <cstring>

#include <new>

#include "QORLv2Plugin.h"

namespace {

template <uint32_t kChannels>
LV2_Handle Instantiate(const LV2_Descriptor*, double rate, const char* bundle,
                       const LV2_Feature* const* features) {
  auto* plugin = new (std::nothrow) QORLv2Plugin(kChannels, rate, bundle, features);
  if (plugin != nullptr && !plugin->Ready()) {
    delete plugin;
    plugin = nullptr;
  }
  return plugin;
}

void ConnectPort(LV2_Handle instance, uint32_t port, void* data) {
  static_cast<QORLv2Plugin*>(instance)->ConnectPort(port, data);
}

void Activate(LV2_Handle instance) {
  static_cast<QORLv2Plugin*>(instance)->Activate();
}

void Run(LV2_Handle instance, uint32_t frames) {
  static_cast<QORLv2Plugin*>(instance)->Run(frames);
}

void Deactivate(LV2_Handle) {}

void Cleanup(LV2_Handle instance) {
  delete static_cast<QORLv2Plugin*>(instance);
}

LV2_Worker_Status Work(LV2_Handle instance, LV2_Worker_Respond_Function respond,
                       LV2_Worker_Respond_Handle handle, uint32_t size, const void* data) {
  return static_cast<QORLv2Plugin*>(instance)->Work(respond, handle, size, data);
}

LV2_Worker_Status WorkResponse(LV2_Handle instance, uint32_t size, const void* data) {
  return static_cast<QORLv2Plugin*>(instance)->WorkResponse(size, data);
}

LV2_State_Status Save(LV2_Handle instance, LV2_State_Store_Function store, LV2_State_Handle handle,
                      uint32_t, const LV2_Feature* const*) {
  return static_cast<QORLv2Plugin*>(instance)->Save(store, handle);
}

LV2_State_Status Restore(LV2_Handle instance, LV2_State_Retrieve_Function retrieve,
                         LV2_State_Handle handle, uint32_t, const LV2_Feature* const*) {
  return static_cast<QORLv2Plugin*>(instance)->Restore(retrieve, handle);
}

const LV2_Worker_Interface kWorker = {Work, WorkResponse, nullptr};
const LV2_State_Interface kState = {Save, Restore};

const void* ExtensionData(const char* uri) {
  if (std::strcmp(uri, LV2_WORKER__interface) == 0) return &kWorker;
  if (std::strcmp(uri, LV2_STATE__interface) == 0) return &kState;
  return nullptr;
}

const LV2_Descriptor kDescriptors[] = {
    {"urn:qorapo:lv2:stereo", Instantiate<2>, ConnectPort, Activate, Run, Deactivate, Cleanup,
     ExtensionData},
    {"urn:qorapo:lv2:surround51", Instantiate<6>, ConnectPort, Activate, Run, Deactivate, Cleanup,
     ExtensionData},
    {"urn:qorapo:lv2:surround71", Instantiate<8>, ConnectPort, Activate, Run, Deactivate, Cleanup,
     ExtensionData},
};

}  // namespace

extern "C" LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
  return index < sizeof(kDescriptors) / sizeof(kDescriptors[0]) ? &kDescriptors[index] : nullptr;
}
