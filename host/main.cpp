// qorapo: the engine host shell. Each subcommand is one class; main only dispatches.
#include <CLI/CLI.hpp>

#include "QORHostControlCommand.h"
#include "QORHostDemoSetupCommand.h"
#include "QORHostEffectsCommand.h"
#include "QORHostEndpointCommand.h"
#include "QORHostImportCommand.h"
#include "QORHostMeterCommand.h"
#include "QORHostModeCommand.h"
#include "QORHostOutput.h"
#include "QORHostPanelCommand.h"
#include "QORHostPlotCommand.h"
#include "QORHostProcessCommand.h"
#include "QORHostRegisterCommand.h"
#include "QORHostSampleCommand.h"
#include "QORHostServeCommand.h"
#include "QORHostStatusCommand.h"
#include "QORHostTuneCommand.h"
#include "platform/QORProcessHeap.h"

int main(int argc, char** argv) {
  QORProcessHeap::ShareAmongThreads();
  CLI::App app{"qorapo: streams audio files through the APO objects of an endpoint"};
  app.require_subcommand(1);
  QORHostProcessCommand process;
  QORHostDemoSetupCommand demoSetup;
  QORHostMeterCommand meter;
  QORHostPlotCommand plot;
  QORHostSampleCommand sample;
  QORHostRegisterCommand registerModule(false);
  QORHostRegisterCommand unregisterModule(true);
  QORHostControlCommand control;
  QORHostEffectsCommand effects;
  QORHostEndpointCommand endpoint;
  QORHostModeCommand mode;
  QORHostTuneCommand tune;
  QORHostServeCommand serve;
  QORHostStatusCommand status;
  QORHostImportCommand import;
  QORHostPanelCommand panel;
  CLI::App* processCommand = process.Register(app);
  CLI::App* demoSetupCommand = demoSetup.Register(app);
  CLI::App* meterCommand = meter.Register(app);
  CLI::App* plotCommand = plot.Register(app);
  CLI::App* sampleCommand = sample.Register(app);
  CLI::App* registerCommand = registerModule.Register(app);
  CLI::App* unregisterCommand = unregisterModule.Register(app);
  CLI::App* controlCommand = control.Register(app);
  CLI::App* effectsCommand = effects.Register(app);
  CLI::App* endpointCommand = endpoint.Register(app);
  CLI::App* modeCommand = mode.Register(app);
  CLI::App* tuneCommand = tune.Register(app);
  CLI::App* serveCommand = serve.Register(app);
  CLI::App* statusCommand = status.Register(app);
  CLI::App* importCommand = import.Register(app);
  CLI::App* panelCommand = panel.Register(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return QORHostOutput::ParseExit(app.exit(error));
  }
  if (processCommand->parsed()) return process.Run();
  if (demoSetupCommand->parsed()) return demoSetup.Run();
  if (meterCommand->parsed()) return meter.Run();
  if (plotCommand->parsed()) return plot.Run();
  if (sampleCommand->parsed()) return sample.Run();
  if (registerCommand->parsed()) return registerModule.Run();
  if (unregisterCommand->parsed()) return unregisterModule.Run();
  if (controlCommand->parsed()) return control.Run();
  if (effectsCommand->parsed()) return effects.Run();
  if (endpointCommand->parsed()) return endpoint.Run();
  if (modeCommand->parsed()) return mode.Run();
  if (tuneCommand->parsed()) return tune.Run();
  if (serveCommand->parsed()) return serve.Run();
  if (statusCommand->parsed()) return status.Run();
  if (importCommand->parsed()) return import.Run();
  if (panelCommand->parsed()) return panel.Run();
  return 2;
}
