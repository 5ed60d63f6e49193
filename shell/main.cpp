#include <windows.h>

#include "main_window.h"
#include "service_registry.h"

// The notifier takes no arguments; where its service is comes from the
// registry, read before anything touches the network.
int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showCommand) {
  loadServiceLocation();
  return runNotifier(instance, showCommand);
}
