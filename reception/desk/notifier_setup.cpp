// The notifiers' installation as the admin's desk page shows it: the access
// key of this installation and the installer line that carries it.
#include "desk/desk.h"
#include "downloads/install_line.h"
#include "downloads/notifier_installer.h"

using nlohmann::json;


HttpResponse notifierSetup(const DeskCall& call) {
  const std::string& key = call.settings.notifierKey;
  return jsonAnswer(200, {{"key", key},
                          {"builtInKey", call.settings.notifierKeyBuiltIn},
                          {"install", notifierInstallLine(notifierServiceHost(call.request), key)},
                          {"installer", call.settings.notifierInstaller ? json(notifierInstallerUrl) : json(nullptr)}});
}
