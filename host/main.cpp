// qorapo: the engine host shell. Each subcommand is one class; main only dispatches.
#include <CLI/CLI.hpp>

#include "QORHostDemoSetupCommand.h"
#include "QORHostMeterCommand.h"
#include "QORHostPlotCommand.h"
#include "QORHostProcessCommand.h"
#include "QORHostRegisterCommand.h"
#include "QORHostSampleCommand.h"

int main(int argc, char** argv) {
  CLI::App app{"qorapo: streams audio files through the APO objects of an endpoint"};
  app.require_subcommand(1);
  QORHostProcessCommand process;
  QORHostDemoSetupCommand demoSetup;
  QORHostMeterCommand meter;
  QORHostPlotCommand plot;
  QORHostSampleCommand sample;
  QORHostRegisterCommand registerModule(false);
  QORHostRegisterCommand unregisterModule(true);
  CLI::App* processCommand = process.Register(app);
  CLI::App* demoSetupCommand = demoSetup.Register(app);
  CLI::App* meterCommand = meter.Register(app);
  CLI::App* plotCommand = plot.Register(app);
  CLI::App* sampleCommand = sample.Register(app);
  CLI::App* registerCommand = registerModule.Register(app);
  CLI::App* unregisterCommand = unregisterModule.Register(app);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // --help is a success; every other parse error is a usage error.
    return app.exit(error) == 0 ? 0 : 1;
  }
  if (processCommand->parsed()) return process.Run();
  if (demoSetupCommand->parsed()) return demoSetup.Run();
  if (meterCommand->parsed()) return meter.Run();
  if (plotCommand->parsed()) return plot.Run();
  if (sampleCommand->parsed()) return sample.Run();
  if (registerCommand->parsed()) return registerModule.Run();
  if (unregisterCommand->parsed()) return unregisterModule.Run();
  return 2;
}
