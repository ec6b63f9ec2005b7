// The same expectations of an empty machine against the default backend and the fakes with
// nothing configured, so that the fakes cannot drift from what the host meets without a driver.
#include <gtest/gtest.h>

#include "FakeDeviceInterfaces.h"
#include "FakeDeviceTopology.h"
#include "TempStateRoot.h"
#include "TraceCapture.h"
#include "drivers/KELAPOIntelDriverInterface_SKL.h"
#include "drivers/QORAPOIntelDriverInterface_BRW.h"
#include "platform/IDeviceTopology.h"
#include "platform/IKsControl.h"
#include "platform/QORComPtr.h"
#include "platform/QORDriverServices.h"
#include "platform/QOREndpointStore.h"

namespace {

class DriverServicesContract : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    // A store endpoint that the default backend enumerates: it still answers no topology.
    ASSERT_EQ(QOREndpointStore::Add(eRender, kStoreEndpoint, L"Speakers", DEVICE_STATE_ACTIVE),
              S_OK);
    if (GetParam()) {
      interfaces_.interfaceClass = QORAPOIntelDriverInterface_BRW::kInterfaceClass;
      topology_.endpointPresent = false;
      QORDriverServices::Install(&interfaces_, &topology_);
    }
  }
  void TearDown() override { QORDriverServices::Install(nullptr, nullptr); }

  static constexpr GUID kStoreEndpoint = {
      0x5E0A1C2D, 0x1111, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 0x09}};
  qortest::TempStateRoot root_;
  qortest::FakeDeviceInterfaces interfaces_;
  qortest::FakeDeviceTopology topology_;
};

TEST_P(DriverServicesContract, NoRenderEndpointAnswersTopologyOrKernelStreaming) {
  QORComPtr<IMMDeviceEnumerator> enumerator;
  ASSERT_EQ(QORDriverServices::TopologyService().CreateDeviceEnumerator(enumerator.Put()), S_OK);
  QORComPtr<IMMDeviceCollection> devices;
  ASSERT_EQ(enumerator->EnumAudioEndpoints(eRender, DEVICE_STATE_ACTIVE, devices.Put()), S_OK);
  uint32_t count = 0;
  ASSERT_EQ(devices->GetCount(&count), S_OK);
  EXPECT_GE(count, 1u);
  for (uint32_t i = 0; i < count; ++i) {
    QORComPtr<IMMDevice> device;
    ASSERT_EQ(devices->Item(i, device.Put()), S_OK);
    for (const IID* iid : {&IID_IDeviceTopology, &IID_IKsControl}) {
      void* object = reinterpret_cast<void*>(1);
      EXPECT_TRUE(FAILED(device->Activate(*iid, 0x17, nullptr, &object)));
      EXPECT_EQ(object, nullptr);
    }
  }
  QORComPtr<IMMDevice> device;
  EXPECT_TRUE(
      FAILED(enumerator->GetDevice(KELAPOIntelDriverInterface_SKL::kEndpointPrefix, device.Put())));
}

TEST_P(DriverServicesContract, NoDeviceInterfaceEnumeratesOrOpensAndBothDriversReportFailure) {
  IQORDeviceInterfaces& interfaces = QORDriverServices::DeviceInterfaces();
  EXPECT_TRUE(interfaces.Enumerate(QORAPOIntelDriverInterface_BRW::kInterfaceClass).empty());
  EXPECT_TRUE(interfaces.Enumerate(GUID_NULL).empty());
  uint32_t error = 0;
  EXPECT_EQ(interfaces.Open(L"\\\\?\\nothing#here", &error), nullptr);
  EXPECT_NE(error, 0u);

  qortest::TraceCapture trace;
  QORAPOIntelDriverInterface_BRW broadwell(9);
  EXPECT_FALSE(broadwell.OpenIntelDriver());
  int32_t status = 0;
  std::string name = "x", second = "y";
  EXPECT_FALSE(broadwell.GetModuleInfo(&status, &name, &second));
  EXPECT_TRUE(name.empty() && second.empty());
  EXPECT_FALSE(broadwell.SetStatus(&status));
  EXPECT_FALSE(broadwell.QueryParameter5());
  EXPECT_EQ(trace.LinesContaining("Broadwell OpenIntelDriver() returned handle 0xffffffff").size(),
            1u);

  HRESULT hr = S_OK;
  KELAPOIntelDriverInterface_SKL skylake(&hr);
  EXPECT_TRUE(FAILED(hr));
  EXPECT_FALSE(skylake.HasControl());
  EXPECT_FALSE(skylake.Query1001440B());
  EXPECT_FALSE(skylake.Query10014405Offset16());
  uint8_t data[4] = {0xAA, 0xAA, 0xAA, 0xAA};
  EXPECT_FALSE(skylake.GetParameter(&hr, 0x10014407, data, 4));
  EXPECT_EQ(hr, E_FAIL);
  EXPECT_EQ(data[0], 0xAA);
  EXPECT_FALSE(trace.LinesContaining("Error: SKL driver handle is null. Is SST active?").empty());
}

// Parameter false: the default backend; true: the fakes.
INSTANTIATE_TEST_SUITE_P(DefaultThenFake, DriverServicesContract, ::testing::Bool());

}  // namespace
