#pragma once

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "QORHostControlCatalog.h"
#include "endpoint/QORAPOEndpointInfo.h"
#include "endpoint/QORAPOModeSelector.h"
#include "settings/QORAPOConfigurationFile.h"

// Plays the control panel's part for one endpoint: writes the current mode through the mode
// selector, the public controls of the current mode through its public settings and the global
// switches through the global settings, exactly where a control application writes them, so that
// the APO objects hear the change the way they would in the engine.
class QORHostControlPanel {
 public:
  // A control or mode as it was before a run changed it, for putting it back.
  struct Saved {
    std::string name;  // "mode", "speaker" or a control name
    std::string value;
  };

  // Reads the endpoint's configuration; false with a message when it cannot.
  bool Open(const QORAPOEndpointInfo& endpoint, std::string* error);

  // The current mode: the stored one, else the configuration's default.
  QORAPOModeIdentity CurrentMode();
  // mode (e.g. "Movie" or "VAPO3-Movie") and/or speaker type ("Headphones"); an empty text keeps
  // that half. False with the list of the configuration's modes when no such mode exists.
  bool SetMode(const std::string& mode, const std::string& speaker, std::string* error);
  // name: a global switch ("VAPO3-Process Enable") or a public control of the current mode;
  // "mode" and "speaker" set the current mode's halves. Checked as Check does; false with its
  // message, and nothing written.
  bool Set(const std::string& name, const std::string& value, std::string* error);
  // Writes a value of mode as Get read it, unchecked: for putting back what a run changed. For
  // "mode" and "speaker", mode is not used.
  bool Restore(const QORAPOModeIdentity& mode, const std::string& name, const std::string& value,
               std::string* error);
  // The one check every writer of a control makes before anything is written, so that a refusal
  // reads the same whichever tool made it. name: "mode" or "speaker" (resolved from *inForce,
  // which becomes the mode chosen), a global switch, or a public control of *inForce, whose value
  // must fit the range the technology library describes. stored: value as the settings keep it.
  bool Check(QORAPOModeIdentity* inForce, const std::string& name, const std::string& value,
             std::string* stored, std::string* error);
  // The descriptions of mode's controls, read once per mode. described: false when the
  // technology library could not be loaded, so that values go unchecked (Warnings says so).
  const QORHostControlCatalog& Catalog(const QORAPOModeIdentity& mode, bool* described = nullptr);
  // What a caller should pass on to the user: checks that could not be made.
  const std::vector<std::string>& Warnings() const { return warnings_; }
  // The value name has now (in the current mode, or in mode), in the form Set takes.
  bool Get(const std::string& name, std::string* value, std::string* error);
  bool Get(const QORAPOModeIdentity& mode, const std::string& name, std::string* value,
           std::string* error);

  const QORAPOEndpointInfo& Endpoint() const { return endpoint_; }
  const QORAPOConfigurationFile& Configuration() const { return configuration_; }
  // Whether a valid mode is stored for the endpoint (otherwise the default applies).
  bool HasStoredMode();
  // The mode named by text ("Movie", "Movie/Headphones", "VAPO3-Movie"; empty: the current one)
  // and speaker (empty: the half text gives, else the current one's). False with the modes there
  // are when the configuration has no such mode, or only as one the capture side picks itself.
  bool ResolveMode(const std::string& text, const std::string& speaker,
                   std::shared_ptr<QORAPOOperatingMode>* out, std::string* error);
  // The same, with the halves not given taken from base rather than the current mode.
  bool ResolveMode(const QORAPOModeIdentity& base, const std::string& text,
                   const std::string& speaker, std::shared_ptr<QORAPOOperatingMode>* out,
                   std::string* error);
  // The public controls of mode as stored for the endpoint (the file's value where none is).
  bool ReadPublic(QORAPOOperatingMode& mode, QORUTSValueList* out, std::string* error);
  // The global switches of the endpoint.
  bool ReadGlobal(QORUTSValueList* out, std::string* error);
  // Writes controls of mode (names it declares public) or global switches, all in one write.
  bool WritePublic(QORAPOOperatingMode& mode, const QORUTSValueList& controls, std::string* error);
  bool WriteGlobal(const QORUTSValueList& controls, std::string* error);

  static bool IsGlobal(const std::string& name);
  // "Music/Speakers" for a mode identity.
  static std::string ShortName(const QORAPOModeIdentity& id);
  // "Music" for "VAPO3-Music"; other texts as they are.
  static std::string Short(const std::string& text);
  // The configuration's modes a control panel can choose, as "Music/Speakers, ...".
  std::string ModeList() const;

 private:
  static std::string Prefixed(const std::string& text);
  bool FindMode(const QORAPOModeIdentity& id, std::shared_ptr<QORAPOOperatingMode>* out);
  bool Write(const QORAPOModeIdentity& mode, const std::string& name, const std::string& value,
             std::string* error);

  struct Described {
    QORHostControlCatalog catalog;
    bool loaded = false;
  };

  QORAPOEndpointInfo endpoint_;
  QORAPOConfigurationFile configuration_;
  QORAPOModeSelector selector_;
  std::map<std::string, Described> catalogs_;  // by mode, "Music/Speakers"
  std::vector<std::string> warnings_;
};
